#include "options/option_groups.h"

namespace kr::collector {

bool parse_listener_option(const std::string& name, const std::string& value, ListenerOptions& options,
                           std::string& error) {
    if (name != "--hello-timeout" && name != "--max-pending" && name != "--max-pending-per-address") {
        error = "unknown option '" + name + "'";
        return false;
    }
    const bool seconds = name == "--hello-timeout";
    const std::uint64_t limit = seconds ? 3600 : 1000000;
    std::uint64_t number = 0;
    if (!parse_number(value, limit, number) || number == 0) {
        error = "bad " + name + " value '" + value + "' (expected 1 to " + std::to_string(limit) +
                (seconds ? " seconds)" : ")");
        return false;
    }
    if (seconds) {
        options.hello_timeout = static_cast<std::uint32_t>(number);
    } else if (name == "--max-pending") {
        options.max_pending = static_cast<std::size_t>(number);
    } else {
        options.max_pending_per_address = static_cast<std::size_t>(number);
    }
    return true;
}

}  // namespace kr::collector
