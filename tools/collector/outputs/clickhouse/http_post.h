#pragma once
// HTTP POST through libcurl, one connection kept alive between requests.
#include <atomic>
#include <cstdint>
#include <string>

namespace kr::collector {

class HttpPost {
public:
    HttpPost();
    ~HttpPost();
    HttpPost(const HttpPost&) = delete;
    HttpPost& operator=(const HttpPost&) = delete;

    // Basic authentication for every request; an empty user sends none.
    void set_credentials(const std::string& user, const std::string& password);
    // A CA bundle to verify the server with instead of the system's ("" for those).
    void set_ca_file(const std::string& path);
    // A transfer under way ends (fails) once the steady clock's milliseconds
    // reach `*abort_at_ms` (0: never): a stop need not wait for a hung server.
    void set_abort_time(const std::atomic<std::int64_t>* abort_at_ms) { abort_at_ms_ = abort_at_ms; }

    // POSTs `body` to `url`. True on HTTP 200; otherwise false with the
    // transfer error (and what failed, e.g. a certificate check) or the
    // status and the first line of the reply.
    bool post(const std::string& url, const std::string& body, std::string& error);

    // Of the last reply: its HTTP status (0 when none came) and ClickHouse's
    // exception code (0 when it names none).
    long status() const { return status_; }
    int exception_code() const { return exception_code_; }
    // libcurl's code of the last transfer (CURLE_OK when an answer came).
    int transfer_code() const { return transfer_code_; }

    // The body of the last reply (its first 64 KiB).
    const std::string& reply() const { return reply_; }

    // `text` escaped for a URL query value.
    static std::string escape(const std::string& text);

private:
    void* curl_;
    void* headers_;
    std::string reply_;
    std::string user_;
    std::string password_;
    std::string ca_file_;
    const std::atomic<std::int64_t>* abort_at_ms_ = nullptr;
    long status_ = 0;
    int exception_code_ = 0;
    int transfer_code_ = 0;
};

// `url` with one more query parameter ("NAME=VALUE", already escaped).
std::string with_parameter(const std::string& url, const std::string& parameter);

}  // namespace kr::collector
