#include <arpa/inet.h>
#include <netinet/in.h>

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
        // ADDR=TEXT names one agent's events: ADDR a numeric address, kept in
        // the form the collector prints an agent's address in.
        const std::size_t equals = value.find('=');
        const std::string agent = value.substr(0, equals == std::string::npos ? 0 : equals);
        const int family = agent.find(':') == std::string::npos ? AF_INET : AF_INET6;
        in6_addr bytes;
        char text[INET6_ADDRSTRLEN];
        if (!agent.empty() && inet_pton(family, agent.c_str(), &bytes) == 1 &&
            inet_ntop(family, &bytes, text, sizeof text) != nullptr) {
            options.agent_identities[text] = value.substr(equals + 1);
        } else {
            options.identity = value;
        }
    } else if (name == "--dnstap-version") {
        options.version = value;
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
