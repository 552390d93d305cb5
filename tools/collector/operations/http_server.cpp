#include "operations/http_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>

#include "operations/http_message.h"
#include "options/options.h"

namespace kr::collector {

namespace {

using Clock = std::chrono::steady_clock;

// Accepts per round of the loop, so a burst of connections cannot starve
// the requests already read.
constexpr int kAcceptsPerRound = 64;
// After EMFILE with nothing to evict, accepting pauses this long.
constexpr int kAcceptPauseMs = 50;
// A connection younger than this is never closed to make room: a client's
// request follows its connect by well under a millisecond on an idle machine
// and by tens on a busy one, so a burst of newcomers cannot push out a scrape
// accepted just before its request came; they wait in the listen queue.
// Short, as a full table then turns over once per grace time: a scrape
// queued behind hundreds of idle sockets still gets through in seconds.
constexpr std::chrono::milliseconds kGraceTime{250};

struct Connection {
    int fd = -1;
    SSL* tls = nullptr;
    bool handshaken = false;
    bool writing = false;  // the request was read; `out` is being sent; never evicted
    Clock::time_point accepted;
    Clock::time_point deadline;
    std::string in;
    std::size_t searched = 0;  // `in` up to here holds no end of the head
    std::string out;
    std::size_t sent = 0;
    short wants = POLLIN;

    ~Connection() {
        if (tls != nullptr) {
            SSL_free(tls);
        }
        if (fd >= 0) {
            ::close(fd);
        }
    }
};

// A non-blocking socket, with close-on-exec, or -1.
int make_listener(const std::string& host, std::uint16_t port, std::uint16_t& bound, std::string& reason) {
    sockaddr_storage storage{};
    socklen_t length = 0;
    const bool v6 = host.find(':') != std::string::npos;
    if (v6) {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&storage);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(port);
        length = sizeof *in6;
        if (inet_pton(AF_INET6, host.c_str(), &in6->sin6_addr) != 1) {
            reason = "not a numeric address";
            return -1;
        }
    } else {
        auto* in4 = reinterpret_cast<sockaddr_in*>(&storage);
        in4->sin_family = AF_INET;
        in4->sin_port = htons(port);
        length = sizeof *in4;
        if (inet_pton(AF_INET, host.c_str(), &in4->sin_addr) != 1) {
            reason = "not a numeric address";
            return -1;
        }
    }
    const int fd = ::socket(storage.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        reason = std::strerror(errno);
        return -1;
    }
    // Quick restarts only: no SO_REUSEPORT, so a port in use is refused.
    int yes = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&storage), length) != 0 || ::listen(fd, SOMAXCONN) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&storage), &length) != 0) {
        reason = std::strerror(errno);
        ::close(fd);
        return -1;
    }
    bound = ntohs(v6 ? reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port
                     : reinterpret_cast<sockaddr_in*>(&storage)->sin_port);
    return fd;
}

}  // namespace

std::size_t connection_limit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
        return 1024;
    }
    return std::clamp<std::size_t>(static_cast<std::size_t>(limit.rlim_cur / 8), 16, 1024);
}

struct HttpServer::Loop {
    HttpServerOptions options;
    HttpHandler handler;
    int listen_fd = -1;
    int wake_fd = -1;
    std::string base_url;
    std::thread thread;
    std::vector<std::unique_ptr<Connection>> connections;  // in the order they were accepted
    Clock::time_point accept_paused_until{};  // after EMFILE

    ~Loop() {
        if (listen_fd >= 0) {
            ::close(listen_fd);
        }
        if (wake_fd >= 0) {
            ::close(wake_fd);
        }
    }

    void run() {
        std::vector<pollfd> fds;
        for (;;) {
            const auto now = Clock::now();
            // While paused, the listener is left out: it stays readable with
            // newcomers queued, and polling it would spin.
            const auto accept_at = accept_time();
            const bool accepting = accept_at <= now;
            fds.assign({{wake_fd, POLLIN, 0}, {listen_fd, static_cast<short>(accepting ? POLLIN : 0), 0}});
            auto next = now + options.request_time;
            for (const auto& connection : connections) {
                fds.push_back({connection->fd, connection->wants, 0});
                next = std::min(next, connection->deadline);
            }
            if (!accepting) {
                next = std::min(next, accept_at);
            }
            // Rounded up, so the loop never wakes just before the time and
            // polls again at 0 ms; a time already past (a deadline) is 0, not
            // the negative that would wait forever.
            const auto wait = std::max<std::int64_t>(0, std::chrono::ceil<std::chrono::milliseconds>(next - now).count());
            if (::poll(fds.data(), fds.size(), static_cast<int>(wait)) < 0 && errno != EINTR) {
                break;
            }
            if (fds[0].revents != 0) {
                break;
            }
            for (std::size_t i = 0; i < connections.size(); ++i) {
                if (fds[i + 2].revents != 0 && !advance(*connections[i])) {
                    connections[i].reset();
                }
            }
            const auto after = Clock::now();
            for (auto& connection : connections) {
                if (connection && after >= connection->deadline) {
                    connection.reset();
                }
            }
            connections.erase(std::remove(connections.begin(), connections.end(), nullptr), connections.end());
            if (fds[1].revents != 0) {
                accept_some();
            }
        }
        connections.clear();
    }

    // When a newcomer can be taken: after the EMFILE pause and, with the
    // table full, once its oldest reader is past the grace time; never while
    // every connection is writing (one ending makes room, and wakes the loop).
    Clock::time_point accept_time() const {
        if (connections.size() < options.max_connections) {
            return accept_paused_until;
        }
        for (const auto& connection : connections) {
            if (!connection->writing) {
                return std::max(accept_paused_until, connection->accepted + kGraceTime);
            }
        }
        return Clock::time_point::max();
    }

    void accept_some() {
        for (int i = 0; i < kAcceptsPerRound; ++i) {
            // With no room, newcomers wait in the listen queue, in their order,
            // rather than being closed.
            if (connections.size() >= options.max_connections && !evict_oldest_reader()) {
                return;
            }
            const int fd = ::accept4(listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0) {
                const int code = errno;
                if (code == EMFILE || code == ENFILE) {
                    // Out of descriptors: one held by a slow request goes, or accepting pauses.
                    if (!evict_oldest_reader()) {
                        accept_paused_until = Clock::now() + std::chrono::milliseconds(kAcceptPauseMs);
                        return;
                    }
                    continue;
                }
                if (code != EINTR && code != ECONNABORTED) {
                    return;  // EAGAIN: none left
                }
                continue;
            }
            auto connection = std::make_unique<Connection>();
            connection->fd = fd;
            connection->accepted = Clock::now();
            connection->deadline = connection->accepted + options.request_time;
            if (options.tls != nullptr) {
                connection->tls = SSL_new(options.tls);
                if (connection->tls == nullptr || SSL_set_fd(connection->tls, fd) != 1) {
                    ERR_clear_error();
                    continue;
                }
            }
            // A client usually sends its request with the connection: read it now.
            if (advance(*connection)) {
                connections.push_back(std::move(connection));
            }
        }
    }

    // Closes the connection that has waited longest for its request to end,
    // if it is past the grace time (then accept_time() said so too).
    bool evict_oldest_reader() {
        const auto now = Clock::now();
        for (auto it = connections.begin(); it != connections.end(); ++it) {
            if (!(*it)->writing) {
                if (now - (*it)->accepted < kGraceTime) {
                    return false;
                }
                connections.erase(it);
                return true;
            }
        }
        return false;
    }

    // Moves a connection on as far as its socket allows; false when it is done.
    bool advance(Connection& connection) {
        if (connection.tls != nullptr && !connection.handshaken) {
            ERR_clear_error();
            const int result = SSL_accept(connection.tls);
            if (result != 1) {
                return waits(connection, result);
            }
            connection.handshaken = true;
        }
        if (!connection.writing) {
            char buffer[4096];
            for (;;) {
                const long got = receive(connection, buffer, sizeof buffer);
                if (got == 0) {
                    return false;
                }
                if (got < 0) {
                    if (got == -2) {
                        break;  // nothing more now; `wants` is set
                    }
                    return false;
                }
                connection.in.append(buffer, static_cast<std::size_t>(got));
                if (respond(connection)) {
                    break;
                }
                if (connection.in.size() > kMaxRequestHead) {
                    return false;
                }
            }
            if (!connection.writing) {
                return true;
            }
        }
        while (connection.sent < connection.out.size()) {
            const long put = transmit(connection);
            if (put == -2) {
                return true;
            }
            if (put <= 0) {
                return false;
            }
            connection.sent += static_cast<std::size_t>(put);
        }
        if (connection.tls != nullptr) {
            SSL_shutdown(connection.tls);  // one close_notify, no wait for the client's
        }
        ::shutdown(connection.fd, SHUT_WR);
        return false;
    }

    // True once the request head was read whole and the answer is in `out`.
    bool respond(Connection& connection) {
        // A client that sends its head a byte at a time costs one short
        // search per byte, not a parse of everything so far.
        const std::size_t from = connection.searched >= 3 ? connection.searched - 3 : 0;
        if (connection.in.find("\r\n\r\n", from) == std::string::npos && connection.in.size() <= kMaxRequestHead) {
            connection.searched = connection.in.size();
            return false;
        }
        HttpRequest request;
        std::string authorization;
        int status = 0;
        const HeadState state = parse_request_head(connection.in, request, authorization, status);
        if (state == HeadState::incomplete) {
            return false;
        }
        HttpResponse response;
        if (state == HeadState::bad) {
            response = error_response(status);
        } else if (!options.password.empty() && !authorized(authorization, options.password)) {
            response = error_response(401);
            response.headers.emplace_back("WWW-Authenticate", "Basic realm=\"" + options.realm + "\", charset=\"UTF-8\"");
        } else {
            response = handler(request);
        }
        connection.out = format_response(response, state == HeadState::complete && request.method == "HEAD");
        connection.in.clear();
        connection.writing = true;
        connection.wants = POLLOUT;
        return true;
    }

    // Bytes, 0 at the end, -2 when it must wait (`wants` set), -1 on failure.
    long receive(Connection& connection, char* buffer, std::size_t size) {
        if (connection.tls == nullptr) {
            const ssize_t got = ::recv(connection.fd, buffer, size, 0);
            if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
                connection.wants = POLLIN;
                return -2;
            }
            return got;
        }
        ERR_clear_error();
        const int got = SSL_read(connection.tls, buffer, static_cast<int>(size));
        return got > 0 ? got : waits(connection, got) ? -2 : -1;
    }

    long transmit(Connection& connection) {
        const char* data = connection.out.data() + connection.sent;
        const std::size_t size = connection.out.size() - connection.sent;
        if (connection.tls == nullptr) {
            const ssize_t put = ::send(connection.fd, data, size, MSG_NOSIGNAL);
            if (put < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
                connection.wants = POLLOUT;
                return -2;
            }
            return put;
        }
        ERR_clear_error();
        const int put = SSL_write(connection.tls, data, static_cast<int>(std::min<std::size_t>(size, 1 << 20)));
        return put > 0 ? put : waits(connection, put) ? -2 : -1;
    }

    // For a TLS call that returned `result`: true (and `wants` set) when it
    // must wait for the socket.
    static bool waits(Connection& connection, int result) {
        const int error = SSL_get_error(connection.tls, result);
        ERR_clear_error();
        if (error == SSL_ERROR_WANT_READ) {
            connection.wants = POLLIN;
            return true;
        }
        if (error == SSL_ERROR_WANT_WRITE) {
            connection.wants = POLLOUT;
            return true;
        }
        return false;
    }
};

HttpServer::HttpServer() : loop_(std::make_unique<Loop>()) {}

HttpServer::~HttpServer() {
    stop();
}

bool HttpServer::start(const HttpServerOptions& options, HttpHandler handler, std::string& error) {
    std::string host;
    std::uint16_t port = 0;
    if (!split_host_port(options.address, host, port)) {
        error = "bad " + options.what + " address '" + options.address + "'";
        return false;
    }
    std::uint16_t bound = 0;
    std::string reason;
    loop_->listen_fd = make_listener(host, port, bound, reason);
    if (loop_->listen_fd < 0) {
        error = "cannot serve " + options.what + " on " + options.address + ": " + reason;
        return false;
    }
    loop_->wake_fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (loop_->wake_fd < 0) {
        error = "cannot serve " + options.what + ": eventfd() failed: " + std::strerror(errno);
        return false;
    }
    loop_->options = options;
    if (loop_->options.max_connections == 0) {
        loop_->options.max_connections = connection_limit();
    }
    loop_->handler = std::move(handler);
    const bool v6 = host.find(':') != std::string::npos;
    loop_->base_url = std::string(options.tls != nullptr ? "https://" : "http://") + (v6 ? "[" + host + "]" : host) +
                      ":" + std::to_string(bound);
    loop_->thread = std::thread([this] { loop_->run(); });
    return true;
}

std::string HttpServer::base_url() const {
    return loop_->base_url;
}

void HttpServer::stop() {
    if (loop_->thread.joinable()) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = ::write(loop_->wake_fd, &one, sizeof one);
        loop_->thread.join();
    }
}

}  // namespace kr::collector
