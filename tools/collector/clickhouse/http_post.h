#pragma once
// HTTP POST through libcurl, one connection kept alive between requests.
#include <string>

namespace kr::collector {

class HttpPost {
public:
    HttpPost();
    ~HttpPost();
    HttpPost(const HttpPost&) = delete;
    HttpPost& operator=(const HttpPost&) = delete;

    // POSTs `body` to `url`. True on HTTP 200; otherwise false with the
    // transfer error or the status and the first line of the reply.
    bool post(const std::string& url, const std::string& body, std::string& error);

    // The body of the last reply (its first 64 KiB).
    const std::string& reply() const { return reply_; }

    // `text` escaped for a URL query value.
    static std::string escape(const std::string& text);

private:
    void* curl_;
    void* headers_;
    std::string reply_;
};

}  // namespace kr::collector
