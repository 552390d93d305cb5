#include "capture/etw_api.h"

namespace kr::capture {

EtwApi& etw_api() {
    static EtwApi api = etw_platform_api();
    return api;
}

}  // namespace kr::capture
