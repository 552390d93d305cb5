#include "options/options.h"

#include "options/option_groups.h"

namespace kr::collector {

bool parse_number(const std::string& text, std::uint64_t limit, std::uint64_t& value) {
    if (text.empty() || text.size() > 20) {
        return false;
    }
    std::uint64_t result = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        result = result * 10 + static_cast<std::uint64_t>(c - '0');
        if (result > limit) {
            return false;
        }
    }
    value = result;
    return true;
}

bool split_host_port(const std::string& text, std::string& host, std::uint16_t& port) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) {
        return false;
    }
    std::string address = text.substr(0, colon);
    if (address.front() == '[') {
        if (address.size() < 3 || address.back() != ']') {
            return false;
        }
        address = address.substr(1, address.size() - 2);
    } else if (address.find(':') != std::string::npos) {
        return false;  // an IPv6 address needs its brackets
    }
    std::uint64_t number = 0;
    if (!parse_number(text.substr(colon + 1), 65535, number)) {
        return false;
    }
    host = address;
    port = static_cast<std::uint16_t>(number);
    return true;
}

bool parse_options(int argc, const char* const* argv, Options& options, std::string& error) {
    bool json_given = false;
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        std::string value;
        bool has_value = false;
        const std::size_t equals = name.find('=');
        if (name.compare(0, 2, "--") == 0 && equals != std::string::npos) {
            value = name.substr(equals + 1);
            name = name.substr(0, equals);
            has_value = true;
        }
        if (name == "--help" || name == "-h") {
            options.help = true;
            continue;
        }
        if (name != "--listen" && name != "--json" && name != "--pcap" && name != "--max-record" &&
            name.compare(0, 12, "--clickhouse") != 0 && name != "--spool" && name != "--spool-max" &&
            name != "--stats-interval" && name != "--metrics" && name != "--metrics-password-file" && name != "--max-agents" &&
            name.compare(0, 6, "--tls-") != 0 && name.compare(0, 8, "--dnstap") != 0 && name != "--web" &&
            name != "--web-password-file" && name != "--hello-timeout" && name.compare(0, 13, "--max-pending") != 0) {
            error = "unknown option '" + std::string(argv[i]) + "'";
            return false;
        }
        if (!has_value) {
            if (i + 1 >= argc) {
                error = "option " + name + " needs a value";
                return false;
            }
            value = argv[++i];
        }
        if (name == "--listen") {
            std::string host;
            std::uint16_t port = 0;
            if (!split_host_port(value, host, port)) {
                error = "bad --listen value '" + value + "' (expected ADDR:PORT, e.g. 127.0.0.1:8100)";
                return false;
            }
            options.listen = value;
        } else if (name == "--json") {
            if (value.empty()) {
                error = "--json needs a path or -";
                return false;
            }
            options.json_path = value;
            json_given = true;
        } else if (name == "--pcap") {
            if (value.empty()) {
                error = "--pcap needs a path";
                return false;
            }
            options.pcap_path = value;
        } else if (name == "--metrics") {
            std::string host;
            std::uint16_t port = 0;
            if (!split_host_port(value, host, port)) {
                error = "bad --metrics value '" + value + "' (expected ADDR:PORT, e.g. 127.0.0.1:9100)";
                return false;
            }
            options.metrics = value;
        } else if (name == "--metrics-password-file") {
            if (!read_required_password_file(name, value, options.metrics_password, error)) {
                return false;
            }
        } else if (name == "--stats-interval") {
            std::uint64_t number = 0;
            if (!parse_number(value, 86400, number)) {
                error = "bad --stats-interval value '" + value + "' (expected 0 to 86400 seconds)";
                return false;
            }
            options.stats_interval = static_cast<std::uint32_t>(number);
        } else if (name == "--max-agents") {
            std::uint64_t number = 0;
            if (!parse_number(value, 100000, number) || number == 0) {
                error = "bad --max-agents value '" + value + "' (expected 1 to 100000)";
                return false;
            }
            options.max_agents = static_cast<std::size_t>(number);
        } else if (name == "--max-record") {
            std::uint64_t number = 0;
            if (!parse_number(value, 0xFFFFFFFFu, number) || number == 0) {
                error = "bad --max-record value '" + value + "' (expected 1 to 4294967295 bytes)";
                return false;
            }
            options.max_record = static_cast<std::uint32_t>(number);
        } else if (name == "--web" || name == "--web-password-file") {
            if (!parse_web_option(name, value, options.web, error)) {
                return false;
            }
        } else if (name == "--hello-timeout" || name.compare(0, 13, "--max-pending") == 0) {
            if (!parse_listener_option(name, value, options.listener, error)) {
                return false;
            }
        } else if (name.compare(0, 8, "--dnstap") == 0) {
            if (!parse_dnstap_option(name, value, options.dnstap, error)) {
                return false;
            }
        } else if (name == "--tls-cert" || name == "--tls-key" || name == "--tls-client-ca" ||
                   name == "--tls-handshake-timeout") {
            if (!parse_tls_option(name, value, options.tls, error)) {
                return false;
            }
        } else if (!parse_clickhouse_option(name, value, options.clickhouse, error)) {
            return false;
        }
    }
    if (!check_tls_options(options.tls, error) || !check_web_options(options.web, error)) {
        return false;
    }
    if (!options.metrics_password.empty() && options.metrics.empty()) {
        error = "--metrics-password-file needs --metrics";
        return false;
    }
    if (!finish_clickhouse_options(options.clickhouse, error)) {
        return false;
    }
    const DnstapOptions& dnstap = options.dnstap;
    if ((dnstap.path.empty() && dnstap.socket.empty() &&
         (!dnstap.identity.empty() || !dnstap.agent_identities.empty() || !dnstap.version.empty())) ||
        (dnstap.socket.empty() && dnstap.queue_bytes != DnstapOptions{}.queue_bytes)) {
        error = "--dnstap-identity and --dnstap-version need --dnstap or --dnstap-socket, --dnstap-queue needs "
                "--dnstap-socket";
        return false;
    }
    if (!json_given && options.pcap_path.empty() && options.clickhouse.url.empty() && options.dnstap.path.empty() &&
        options.dnstap.socket.empty()) {
        options.json_path = "-";
    }
    return true;
}

}  // namespace kr::collector
