#include "outputs/clickhouse/http_post.h"

#include <curl/curl.h>

#include <strings.h>

#include <chrono>
#include <cstdlib>
#include <mutex>

namespace kr::collector {

namespace {

// Connecting on a network that answers should take well under this; a
// database that takes longer than the transfer limit is treated as down.
constexpr long kConnectTimeoutMs = 3000;
constexpr long kTransferTimeoutMs = 60000;
constexpr std::size_t kReplyLimit = 64 * 1024;

std::size_t collect(char* data, std::size_t size, std::size_t count, void* user) {
    auto* reply = static_cast<std::string*>(user);
    const std::size_t bytes = size * count;
    if (reply->size() < kReplyLimit) {
        reply->append(data, std::min(bytes, kReplyLimit - reply->size()));
    }
    return bytes;
}

// ClickHouse names its exception in a header (recent versions) and in the
// body as "Code: N" (all versions).
std::size_t header_line(char* data, std::size_t size, std::size_t count, void* user) {
    const std::size_t bytes = size * count;
    static const std::string name = "x-clickhouse-exception-code:";
    std::string line(data, bytes);
    if (line.size() > name.size() && strncasecmp(line.c_str(), name.c_str(), name.size()) == 0) {
        *static_cast<int*>(user) = std::atoi(line.c_str() + name.size());
    }
    return bytes;
}

int code_in_body(const std::string& reply) {
    const std::size_t at = reply.find("Code: ");
    return at == std::string::npos ? 0 : std::atoi(reply.c_str() + at + 6);
}

// Called about once a second while a transfer waits, more often while it moves.
int abort_when_due(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    const auto* abort_at_ms = static_cast<const std::atomic<std::int64_t>*>(user);
    const std::int64_t at = abort_at_ms->load();
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return at != 0 && std::chrono::duration_cast<std::chrono::milliseconds>(now).count() >= at ? 1 : 0;
}

void global_init() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

}  // namespace

HttpPost::HttpPost() {
    global_init();
    curl_ = curl_easy_init();
    // A large body would otherwise wait for a "100 Continue" first.
    headers_ = curl_slist_append(nullptr, "Expect:");
}

HttpPost::~HttpPost() {
    curl_easy_cleanup(static_cast<CURL*>(curl_));
    curl_slist_free_all(static_cast<curl_slist*>(headers_));
}

std::string HttpPost::escape(const std::string& text) {
    global_init();
    char* escaped = curl_easy_escape(nullptr, text.data(), static_cast<int>(text.size()));
    std::string result = escaped != nullptr ? escaped : "";
    curl_free(escaped);
    return result;
}

void HttpPost::set_credentials(const std::string& user, const std::string& password) {
    user_ = user;
    password_ = password;
}

void HttpPost::set_ca_file(const std::string& path) {
    ca_file_ = path;
}

bool HttpPost::post(const std::string& url, const std::string& body, std::string& error) {
    CURL* curl = static_cast<CURL*>(curl_);
    if (curl == nullptr) {
        error = "cannot start an HTTP client";
        return false;
    }
    reply_.clear();
    status_ = 0;
    exception_code_ = 0;
    transfer_code_ = CURLE_OK;
    char detail[CURL_ERROR_SIZE] = "";
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_POST, 1L);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, static_cast<curl_slist*>(headers_));
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &reply_);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, kConnectTimeoutMs);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, kTransferTimeoutMs);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_TCP_KEEPALIVE, 1L);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, header_line);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &exception_code_);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, detail);
    if (!user_.empty()) {
        curl_easy_setopt(curl, CURLOPT_HTTPAUTH, CURLAUTH_BASIC);
        curl_easy_setopt(curl, CURLOPT_USERNAME, user_.c_str());
        curl_easy_setopt(curl, CURLOPT_PASSWORD, password_.c_str());
    }
    if (!ca_file_.empty()) {
        curl_easy_setopt(curl, CURLOPT_CAINFO, ca_file_.c_str());
    }
    if (abort_at_ms_ != nullptr) {
        curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, abort_when_due);
        curl_easy_setopt(curl, CURLOPT_XFERINFODATA, abort_at_ms_);
        curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    }
    const CURLcode code = curl_easy_perform(curl);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, nullptr);
    transfer_code_ = code;
    if (code != CURLE_OK) {
        if (code == CURLE_ABORTED_BY_CALLBACK) {
            error = "no answer before the stop's time ran out";
            return false;
        }
        // The buffer says which check failed ("SSL certificate problem: ...").
        error = curl_easy_strerror(code);
        if (detail[0] != '\0' && error != detail) {
            error += std::string(" (") + detail + ")";
        }
        return false;
    }
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status_);
    if (status_ != 200) {
        if (exception_code_ == 0) {
            exception_code_ = code_in_body(reply_);
        }
        const std::string first_line = reply_.substr(0, reply_.find('\n'));
        error = "HTTP " + std::to_string(status_) + (first_line.empty() ? "" : ": " + first_line);
        return false;
    }
    return true;
}

std::string with_parameter(const std::string& url, const std::string& parameter) {
    return url + (url.find('?') == std::string::npos ? "?" : "&") + parameter;
}

}  // namespace kr::collector
