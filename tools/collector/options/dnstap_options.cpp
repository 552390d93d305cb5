#include "options/option_groups.h"

namespace kr::collector {

bool parse_dnstap_option(const std::string& name, const std::string& value, DnstapOptions& options,
                         std::string& error) {
    std::uint64_t number = 0;
    if (value.empty() && name != "--dnstap-queue") {
        error = name + " needs a value";
        return false;
    }
    if (name == "--dnstap") {
        options.path = value;
    } else if (name == "--dnstap-socket") {
        options.socket = value;  // checked when the sender starts
    } else if (name == "--dnstap-identity") {
        options.identity = value;
    } else if (name == "--dnstap-queue") {
        if (!parse_number(value, ~std::uint64_t{0}, number) || number < 65536) {
            error = "bad --dnstap-queue value '" + value + "' (expected a number of bytes, at least 65536)";
            return false;
        }
        options.queue_bytes = number;
    } else {
        error = "unknown option '" + name + "'";
        return false;
    }
    return true;
}

}  // namespace kr::collector
