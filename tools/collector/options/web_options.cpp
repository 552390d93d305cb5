#include <arpa/inet.h>

#include <cerrno>
#include <cstring>
#include <fstream>

#include "options/option_groups.h"

namespace kr::collector {

bool read_password_file(const std::string& option, const std::string& path, std::string& password,
                        std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in.is_open()) {
        error = "cannot read " + option + " " + path + ": " + std::strerror(errno);
        return false;
    }
    std::getline(in, password);  // the first line; a trailing newline is not part of it
    if (!password.empty() && password.back() == '\r') {
        password.pop_back();
    }
    return true;
}

bool read_required_password_file(const std::string& option, const std::string& path, std::string& password,
                                 std::string& error) {
    if (!read_password_file(option, path, password, error)) {
        return false;
    }
    if (password.empty()) {
        error = option + " " + path + " has no password on its first line";
        return false;
    }
    return true;
}

bool parse_web_option(const std::string& name, const std::string& value, WebOptions& options, std::string& error) {
    if (name == "--web") {
        std::string host;
        std::uint16_t port = 0;
        if (!split_host_port(value, host, port)) {
            error = "bad --web value '" + value + "' (expected ADDR:PORT, e.g. 127.0.0.1:8080)";
            return false;
        }
        options.address = value;
        return true;
    }
    if (!read_required_password_file(name, value, options.password, error)) {
        return false;
    }
    options.password_given = true;
    return true;
}

bool check_web_options(const WebOptions& web, std::string& error) {
    if (web.password_given && web.address.empty()) {
        error = "--web-password-file needs --web";
        return false;
    }
    return true;
}

bool loopback_address(const std::string& address) {
    std::string host;
    std::uint16_t port = 0;
    in_addr v4{};
    in6_addr v6{};
    if (!split_host_port(address, host, port)) {
        return false;
    }
    if (inet_pton(AF_INET, host.c_str(), &v4) == 1) {
        return (ntohl(v4.s_addr) >> 24) == 127;
    }
    return inet_pton(AF_INET6, host.c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6);
}

std::string web_access_problem(const WebOptions& web) {
    if (web.address.empty() || web.password_given || loopback_address(web.address)) {
        return "";
    }
    return "--web " + web.address + " is not a loopback address: give --web-password-file";
}

}  // namespace kr::collector
