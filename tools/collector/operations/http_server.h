#pragma once
// A small HTTP/1.1 server for the metrics endpoint and the live page: one
// thread, one poll loop over non-blocking sockets, so a connection that sends
// nothing, or one byte a second, never keeps a scrape waiting. Each
// connection carries one request and must be read and answered within the
// request time; when the table of connections is full, the oldest one still
// sending its request is closed to make room, never the newcomer, and only
// once it is past a short grace time: until then newcomers wait in the
// listen queue.
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

typedef struct ssl_ctx_st SSL_CTX;

namespace kr::collector {

struct HttpRequest {
    std::string method;  // "GET" or "HEAD": others are answered 405 before a handler sees them
    std::string path;    // without the query
    std::string query;   // after '?', "" if none
};

struct HttpResponse {
    int status = 200;
    std::string content_type = "text/plain; charset=utf-8";
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;  // added after the usual ones
};

using HttpHandler = std::function<HttpResponse(const HttpRequest&)>;

struct HttpServerOptions {
    std::string what = "HTTP";   // for errors: "cannot serve WHAT on ADDR:PORT: ..."
    std::string address;         // "ADDR:PORT", port 0 for any
    SSL_CTX* tls = nullptr;      // serve HTTPS with it (the caller keeps it alive), or plaintext
    std::string password;        // "" for none; else basic authentication, any user name
    std::string realm = "collector";
    std::size_t max_connections = 0;  // 0: from the open-file limit, see connection_limit()
    std::chrono::milliseconds request_time{5000};
};

// The connection table's size for 0 in max_connections: an eighth of the
// open-file limit, between 16 and 1024, so the endpoint leaves the agents
// most descriptors.
std::size_t connection_limit();

// The password in the basic authentication header value `authorization`
// ("Basic BASE64(user:password)") matches `password`, compared in a time
// that does not depend on how much of it matches.
bool authorized(const std::string& authorization, const std::string& password);

class HttpServer {
public:
    HttpServer();
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Binds and starts the loop's thread. False with the reason on failure:
    // "cannot serve WHAT on ADDR:PORT: REASON" or "bad WHAT address 'TEXT'".
    bool start(const HttpServerOptions& options, HttpHandler handler, std::string& error);
    // "http://ADDR:PORT" or "https://...", with the bound port.
    std::string base_url() const;
    // Closes the listener and every connection; returns once the thread ended.
    void stop();

private:
    struct Loop;
    std::unique_ptr<Loop> loop_;
};

}  // namespace kr::collector
