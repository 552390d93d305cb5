#include "transport/net_api.h"

namespace kr::transport {

NetApi& net_api() {
    static NetApi api = net_platform_api();
    return api;
}

int net_startup() { return net_api().startup(0x0202); }

}  // namespace kr::transport
