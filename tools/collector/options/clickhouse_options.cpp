#include <curl/curl.h>
#include <unistd.h>

#include <algorithm>
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

// A URL as libcurl's parser reads it (the transfers use the same parser).
struct ParsedUrl {
    explicit ParsedUrl(const std::string& url) : handle(curl_url()) {
        code = handle == nullptr ? CURLUE_OUT_OF_MEMORY : curl_url_set(handle, CURLUPART_URL, url.c_str(), 0);
    }
    ~ParsedUrl() { curl_url_cleanup(handle); }
    ParsedUrl(const ParsedUrl&) = delete;
    ParsedUrl& operator=(const ParsedUrl&) = delete;

    std::string get(CURLUPart part, unsigned int flags = 0) const {
        char* text = nullptr;
        std::string result;
        if (curl_url_get(handle, part, &text, flags) == CURLUE_OK && text != nullptr) {
            result = text;
        }
        curl_free(text);
        return result;
    }

    CURLU* handle;
    CURLUcode code;
};

// Moves the URL's user information into `user` and `password` (decoded),
// so that no line the collector prints can carry it. False for a URL that
// does not parse, or that reads differently than meant: a '/', '?' or '#'
// in a password ends the host part early, so the rest lands in the path.
bool take_url_credentials(std::string& url, std::string& user, std::string& password, std::string& error) {
    ParsedUrl parsed(url);
    const std::string path = parsed.code == CURLUE_OK ? parsed.get(CURLUPART_PATH) : "";
    if (parsed.code != CURLUE_OK || path.find('@') != std::string::npos) {
        // The URL itself is not printed: where its password ends is unknown.
        error = std::string("bad --clickhouse URL (") +
                (parsed.code != CURLUE_OK ? curl_url_strerror(parsed.code) : "an '@' after the host") +
                "): a user or password with '/', '?', '#' or '@' must be percent-encoded (%2F, %3F, %23, %40)";
        return false;
    }
    user = parsed.get(CURLUPART_USER, CURLU_URLDECODE);
    password = parsed.get(CURLUPART_PASSWORD, CURLU_URLDECODE);
    if (!user.empty() || !password.empty()) {
        curl_url_set(parsed.handle, CURLUPART_USER, nullptr, 0);
        curl_url_set(parsed.handle, CURLUPART_PASSWORD, nullptr, 0);
        url = parsed.get(CURLUPART_URL);
    }
    return true;
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
    ParsedUrl parsed(url);
    if (parsed.code != CURLUE_OK) {
        // Without '@' there is no password; with one, where it ends is unknown.
        return url.find('@') == std::string::npos ? url : url.substr(0, url.find("://")) + "://...";
    }
    if (!parsed.get(CURLUPART_PASSWORD).empty()) {
        curl_url_set(parsed.handle, CURLUPART_PASSWORD, "***", 0);
    }
    // ClickHouse also takes the password as a query parameter.
    const std::string query = parsed.get(CURLUPART_QUERY);
    std::string shown;
    for (std::size_t at = 0; at < query.size();) {
        const std::size_t end = std::min(query.find('&', at), query.size());
        const bool password = query.compare(at, 9, "password=") == 0;
        shown += (at == 0 ? "" : "&") + (password ? std::string("password=***") : query.substr(at, end - at));
        at = end + 1;
    }
    if (shown != query) {
        curl_url_set(parsed.handle, CURLUPART_QUERY, shown.c_str(), 0);
    }
    return parsed.get(CURLUPART_URL);
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
    if (!clickhouse.url.empty() && !take_url_credentials(clickhouse.url, url_user, url_password, error)) {
        return false;
    }
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
