#include "capture/tdh_api.h"
#include "substitute/tdh_substitute.h"

namespace kr::capture {
using kr::substitute::tdh_substitute_api;

// There is no system TDH here: the substitute is the platform.
const TdhApi& tdh_platform_api() { return tdh_substitute_api(); }

}  // namespace kr::capture
