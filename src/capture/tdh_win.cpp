#include "capture/tdh_api.h"

namespace kr::capture {

const TdhApi& tdh_platform_api() {
    static const TdhApi api{TdhGetEventInformation, TdhGetPropertySize, TdhGetProperty};
    return api;
}

}  // namespace kr::capture
