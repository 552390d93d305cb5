#include "input/server.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "input/server_connection.h"
#include "input/tls.h"
#include "options/options.h"

namespace kr::collector {

namespace {

constexpr std::size_t kReadSize = 64 * 1024;
constexpr int kAcceptPauseMs = 100;
// Reads per connection when stopping, so data that has already arrived is
// not dropped, but a busy agent cannot hold the stop back.
constexpr int kDrainReads = 64;

// "ADDR:PORT" ("[ADDR]:PORT" for IPv6); `host` gets ADDR alone.
std::string address_text(const sockaddr* address, socklen_t length, std::string* host_only = nullptr) {
    char host[NI_MAXHOST];
    char port[NI_MAXSERV];
    if (getnameinfo(address, length, host, sizeof host, port, sizeof port, NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
        std::snprintf(host, sizeof host, "?");
        std::snprintf(port, sizeof port, "?");
    }
    if (host_only != nullptr) {
        *host_only = host;
    }
    if (address->sa_family == AF_INET6) {
        return "[" + std::string(host) + "]:" + port;
    }
    return std::string(host) + ":" + port;
}

}  // namespace

Server::Server(EventSink& sink, AgentCounter& agents, std::uint32_t max_record, std::FILE* log)
    : sink_(sink), max_record_(max_record), log_(log), read_buffer_(kReadSize), agents_(agents) {
    wake_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

Server::~Server() {
    connections_list_.clear();
    if (listen_fd_ >= 0) {
        ::close(listen_fd_);
    }
    if (wake_fd_ >= 0) {
        ::close(wake_fd_);
    }
}

bool Server::listen(const std::string& address, std::string& error) {
    std::string host;
    std::uint16_t port = 0;
    if (!split_host_port(address, host, port)) {
        error = "bad listen address '" + address + "'";
        return false;
    }
    if (wake_fd_ < 0) {
        error = std::string("eventfd() failed: ") + std::strerror(errno);
        return false;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | AI_PASSIVE;
    addrinfo* found = nullptr;
    const int status = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (status != 0) {
        error = "cannot listen on " + address + ": " + gai_strerror(status);
        return false;
    }
    const int fd = socket(found->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int code = errno;
    const char* call = "socket()";
    if (fd >= 0) {
        const int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (bind(fd, found->ai_addr, found->ai_addrlen) != 0) {
            code = errno;
            call = "bind()";
        } else if (::listen(fd, SOMAXCONN) != 0) {
            code = errno;
            call = "listen()";
        } else {
            call = nullptr;
        }
    }
    freeaddrinfo(found);
    if (call != nullptr) {
        if (fd >= 0) {
            ::close(fd);
        }
        error = "cannot listen on " + address + ": " + call + " failed: " + std::strerror(code);
        return false;
    }
    if (listen_fd_ >= 0) {
        ::close(listen_fd_);
    }
    listen_fd_ = fd;
    return true;
}

bool Server::use_tls(const TlsOptions& options, std::string& error) {
    tls_ = TlsContext::create(options, error);
    handshake_timeout_ms_ = static_cast<std::int64_t>(options.handshake_timeout) * 1000;
    return tls_ != nullptr;
}

std::string Server::local_address() const {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (listen_fd_ < 0 || getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return "?";
    }
    return address_text(reinterpret_cast<sockaddr*>(&address), length);
}

void Server::stop() {
    stopping_ = true;
    wake();
}

void Server::request_reopen() {
    reopen_requested_ = true;
    wake();
}

void Server::wake() {
    const std::uint64_t one = 1;
    // Nothing useful can be done about a failed write in a signal handler;
    // the counter is already non-zero if it is full.
    [[maybe_unused]] const ssize_t written = ::write(wake_fd_, &one, sizeof one);
}

bool Server::run(std::string& error) {
    std::vector<pollfd> fds;
    for (;;) {
        const bool accepting = now_ms() >= accept_paused_until_ms_;
        fds.clear();
        fds.push_back({wake_fd_, POLLIN, 0});
        fds.push_back({accepting ? listen_fd_ : -1, POLLIN, 0});
        for (const auto& connection : connections_list_) {
            fds.push_back({connection->fd, connection->poll_events(), 0});
        }
        if (poll(fds.data(), fds.size(), poll_timeout_ms(accepting)) < 0) {
            if (errno == EINTR) {
                continue;
            }
            error = std::string("poll() failed: ") + std::strerror(errno);
            break;
        }
        if (fds[0].revents != 0) {
            std::uint64_t count = 0;
            [[maybe_unused]] const ssize_t taken = ::read(wake_fd_, &count, sizeof count);
            if (stopping_) {
                break;
            }
        }
        // Connections first: the indexes of fds match the list as it was polled.
        for (std::size_t i = 0; i < connections_list_.size(); ++i) {
            Connection& connection = *connections_list_[i];
            const bool ready = fds[i + 2].revents != 0 || (connection.tls && connection.tls->pending());
            if (ready && !serve(connection, 1)) {
                connections_list_[i].reset();
            }
        }
        expire_handshakes();
        connections_list_.erase(std::remove(connections_list_.begin(), connections_list_.end(), nullptr),
                                connections_list_.end());
        if (fds[1].revents != 0) {
            accept_all();
        }
        if (!sink_.flush(error) || (reopen_requested_.exchange(false) && !sink_.reopen(error))) {
            break;
        }
    }
    for (auto& connection : connections_list_) {
        if (serve(*connection, kDrainReads)) {
            agents_.add(connection->agent, {}, now_ms(), true);
        }
    }
    connections_list_.clear();
    std::string flush_error;
    if (!sink_.flush(flush_error) && error.empty()) {
        error = flush_error;
    }
    return error.empty();
}

int Server::poll_timeout_ms(bool accepting) const {
    std::int64_t timeout = accepting ? -1 : kAcceptPauseMs;
    const std::int64_t now = now_ms();
    for (const auto& connection : connections_list_) {
        if (connection->tls && connection->tls->pending()) {
            return 0;
        }
        if (connection->handshaking()) {
            const std::int64_t left = std::max<std::int64_t>(connection->handshake_deadline_ms - now, 0);
            timeout = timeout < 0 ? left : std::min(timeout, left);
        }
    }
    return static_cast<int>(timeout);
}

void Server::expire_handshakes() {
    const std::int64_t now = now_ms();
    for (auto& connection : connections_list_) {
        if (connection && connection->handshaking() && now >= connection->handshake_deadline_ms) {
            fail(*connection, "TLS handshake not done within " + std::to_string(handshake_timeout_ms_ / 1000) + " s",
                 false);
            settle(*connection, false);
            connection.reset();  // run() erases it with the others
        }
    }
}

void Server::accept_all() {
    for (;;) {
        sockaddr_storage address{};
        socklen_t length = sizeof address;
        const int fd = accept4(listen_fd_, reinterpret_cast<sockaddr*>(&address), &length,
                               SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                // The pending connection stays queued; poll would report it at
                // once again, so wait a little instead of spinning.
                std::fprintf(log_, "collector: cannot accept a connection: %s\n", std::strerror(errno));
                accept_paused_until_ms_ = now_ms() + kAcceptPauseMs;
                return;
            }
            if (errno == EINTR || errno == ECONNABORTED || errno == EPROTO) {
                continue;
            }
            return;  // EAGAIN: none left
        }
        std::string host;
        auto connection = std::make_unique<Connection>(
            fd, address_text(reinterpret_cast<sockaddr*>(&address), length, &host), max_record_);
        connection->agent = agents_.connect(host, now_ms());
        ++connections_;
        if (tls_) {
            connection->tls = std::make_unique<TlsSession>(*tls_, fd);
            connection->handshake_deadline_ms = now_ms() + handshake_timeout_ms_;
        }
        std::fprintf(log_, "collector: %s connected\n", connection->peer.c_str());
        connections_list_.push_back(std::move(connection));
    }
}

}  // namespace kr::collector
