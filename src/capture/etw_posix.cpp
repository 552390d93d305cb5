#include "capture/etw_api.h"
#include "capture/trace_substitute.h"

namespace kr::capture {

const EtwApi& etw_platform_api() { return trace_substitute_api(); }

}  // namespace kr::capture
