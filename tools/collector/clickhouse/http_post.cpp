#include "clickhouse/http_post.h"

#include <curl/curl.h>

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

bool HttpPost::post(const std::string& url, const std::string& body, std::string& error) {
    CURL* curl = static_cast<CURL*>(curl_);
    if (curl == nullptr) {
        error = "cannot start an HTTP client";
        return false;
    }
    reply_.clear();
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
    const CURLcode code = curl_easy_perform(curl);
    if (code != CURLE_OK) {
        error = curl_easy_strerror(code);
        return false;
    }
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    if (status != 200) {
        const std::string first_line = reply_.substr(0, reply_.find('\n'));
        error = "HTTP " + std::to_string(status) + (first_line.empty() ? "" : ": " + first_line);
        return false;
    }
    return true;
}

}  // namespace kr::collector
