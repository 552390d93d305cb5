#include "capture/tdh_api.h"

namespace kr::capture {

TdhApi& tdh_api() {
    static TdhApi api = tdh_platform_api();
    return api;
}

}  // namespace kr::capture
