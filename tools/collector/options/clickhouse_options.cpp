#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "options/option_groups.h"

namespace kr::collector {

namespace {

bool valid_identifier(const std::string& text) {
    if (text.empty() || (text[0] >= '0' && text[0] <= '9')) {
        return false;
    }
    for (char c : text) {
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_')) {
            return false;
        }
    }
    return true;
}

// Where the user:password part of a URL is: [begin, at) before the '@'.
bool find_userinfo(const std::string& url, std::size_t& begin, std::size_t& at) {
    const std::size_t scheme = url.find("://");
    if (scheme == std::string::npos) {
        return false;
    }
    begin = scheme + 3;
    const std::size_t end = url.find_first_of("/?#", begin);
    at = url.rfind('@', end == std::string::npos ? std::string::npos : end - 1);
    return at != std::string::npos && at >= begin && (end == std::string::npos || at < end);
}

std::string percent_decoded(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
            out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

// Moves a user:password part of the URL into the options, so that no
// line the collector prints can carry it.
void take_url_credentials(ClickHouseOptions& options, std::string& url_user, std::string& url_password) {
    std::size_t begin = 0;
    std::size_t at = 0;
    if (!find_userinfo(options.url, begin, at)) {
        return;
    }
    const std::string userinfo = options.url.substr(begin, at - begin);
    const std::size_t colon = userinfo.find(':');
    url_user = percent_decoded(userinfo.substr(0, colon));
    url_password = colon == std::string::npos ? "" : percent_decoded(userinfo.substr(colon + 1));
    options.url.erase(begin, at + 1 - begin);
}

}  // namespace

bool valid_table_name(const std::string& name) {
    const std::size_t dot = name.find('.');
    if (dot == std::string::npos) {
        return valid_identifier(name);
    }
    return valid_identifier(name.substr(0, dot)) && valid_identifier(name.substr(dot + 1));
}

std::string redacted_url(const std::string& url) {
    std::size_t begin = 0;
    std::size_t at = 0;
    if (!find_userinfo(url, begin, at)) {
        return url;
    }
    const std::size_t colon = url.find(':', begin);
    return colon < at ? url.substr(0, colon + 1) + "***" + url.substr(at) : url;
}

bool parse_clickhouse_option(const std::string& name, const std::string& value, ClickHouseOptions& options,
                             std::string& error) {
    std::uint64_t number = 0;
    if (name == "--clickhouse") {
        if (value.compare(0, 7, "http://") != 0 && value.compare(0, 8, "https://") != 0) {
            error = "bad --clickhouse value '" + redacted_url(value) + "' (expected the HTTP interface's URL, e.g. "
                    "http://127.0.0.1:8123/?database=dns)";
            return false;
        }
        options.url = value;
    } else if (name == "--clickhouse-user") {
        if (value.empty()) {
            error = "--clickhouse-user needs a name";
            return false;
        }
        options.user = value;
    } else if (name == "--clickhouse-password-file") {
        if (!read_password_file(name, value, options.password, error)) {
            return false;
        }
    } else if (name == "--clickhouse-ca") {
        if (access(value.c_str(), R_OK) != 0) {
            error = "cannot read --clickhouse-ca " + value + ": " + std::strerror(errno);
            return false;
        }
        options.ca_file = value;
    } else if (name == "--clickhouse-table") {
        if (!valid_table_name(value)) {
            error = "bad --clickhouse-table value '" + value + "' (expected NAME or DATABASE.NAME of letters, "
                    "digits and _)";
            return false;
        }
        options.table = value;
    } else if (name == "--clickhouse-batch-rows") {
        if (!parse_number(value, 10000000, number) || number == 0) {
            error = "bad --clickhouse-batch-rows value '" + value + "' (expected 1 to 10000000)";
            return false;
        }
        options.batch_rows = static_cast<std::uint32_t>(number);
    } else if (name == "--clickhouse-batch-ms") {
        if (!parse_number(value, 3600000, number) || number == 0) {
            error = "bad --clickhouse-batch-ms value '" + value + "' (expected 1 to 3600000)";
            return false;
        }
        options.batch_ms = static_cast<std::uint32_t>(number);
    } else if (name == "--spool") {
        if (value.empty()) {
            error = "--spool needs a directory";
            return false;
        }
        options.spool_dir = value;
    } else if (name == "--spool-max") {
        if (!parse_number(value, ~std::uint64_t{0}, number) || number == 0) {
            error = "bad --spool-max value '" + value + "' (expected a number of bytes above 0)";
            return false;
        }
        options.spool_max = number;
    } else {
        error = "unknown option '" + name + "'";
        return false;
    }
    return true;
}

// The ClickHouse options as a whole: the ones that need a URL, and the
// credentials from the URL or the environment when none were given.
bool finish_clickhouse_options(ClickHouseOptions& clickhouse, std::string& error) {
    if (clickhouse.url.empty() && (clickhouse.table != ClickHouseOptions{}.table || !clickhouse.spool_dir.empty() ||
                                   !clickhouse.user.empty() || !clickhouse.password.empty() ||
                                   !clickhouse.ca_file.empty())) {
        error = "--clickhouse-table, --clickhouse-user, --clickhouse-password-file, --clickhouse-ca and --spool "
                "need --clickhouse URL";
        return false;
    }
    std::string url_user;
    std::string url_password;
    take_url_credentials(clickhouse, url_user, url_password);
    if (clickhouse.user.empty()) {
        clickhouse.user = url_user;
    }
    if (clickhouse.password.empty()) {
        const char* environment = std::getenv("CLICKHOUSE_PASSWORD");
        clickhouse.password = !url_password.empty() ? url_password : environment != nullptr ? environment : "";
    }
    if (clickhouse.user.empty() && !clickhouse.password.empty()) {
        clickhouse.user = "default";  // the user ClickHouse assumes when none is named
    }
    return true;
}

}  // namespace kr::collector
