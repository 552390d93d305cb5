#include "agent/service_api.h"

namespace kr::agent {

ServiceApi& service_api() {
    static ServiceApi api = service_platform_api();
    return api;
}

}  // namespace kr::agent
