#include "input/server.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
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
constexpr int kEventsPerRound = 256;
// Reads per connection in one step of the drain at stop, before the others' turn.
constexpr int kDrainReads = 16;

}  // namespace

// "ADDR:PORT" ("[ADDR]:PORT" for IPv6); `host` gets ADDR alone.
std::string address_text(const sockaddr* address, socklen_t length, std::string* host_only) {
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

Server::Server(EventSink& sink, AgentCounter& agents, std::uint32_t max_record, std::FILE* log)
    : sink_(sink), max_record_(max_record), log_(log), read_buffer_(kReadSize), agents_(agents) {
    wake_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    epoll_fd_ = epoll_create1(EPOLL_CLOEXEC);
}

Server::~Server() {
    pending_.clear();
    connections_list_.clear();
    for (const int fd : {listen_fd_, wake_fd_, epoll_fd_}) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
}

bool Server::listen(const std::string& address, std::string& error) {
    std::string host;
    std::uint16_t port = 0;
    if (!split_host_port(address, host, port)) {
        error = "bad listen address '" + address + "'";
        return false;
    }
    if (wake_fd_ < 0 || epoll_fd_ < 0) {
        error = std::string(wake_fd_ < 0 ? "eventfd()" : "epoll_create1()") + " failed: " + std::strerror(errno);
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
    std::string warning;
    tls_ = TlsContext::create(options, error, &warning);
    if (!warning.empty()) {
        std::fprintf(log_, "collector: warning: %s\n", warning.c_str());
    }
    handshake_timeout_ms_ = static_cast<std::int64_t>(options.handshake_timeout) * 1000;
    return tls_ != nullptr;
}

std::string Server::local_address() const {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (listen_fd_ < 0 || getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return "?";
    }
    return address_text(reinterpret_cast<sockaddr*>(&address), length, nullptr);
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

bool Server::watch(int fd, std::uint64_t id, std::uint32_t events, int operation) {
    epoll_event event{};
    event.events = events;
    event.data.u64 = id;
    return epoll_ctl(epoll_fd_, operation, fd, &event) == 0;
}

bool Server::run(std::string& error) {
    if (!watch(wake_fd_, kWakeId, EPOLLIN, EPOLL_CTL_ADD) || !watch(listen_fd_, kListenId, EPOLLIN, EPOLL_CTL_ADD)) {
        error = std::string("epoll_ctl() failed: ") + std::strerror(errno);
        return false;
    }
    std::vector<epoll_event> events(kEventsPerRound);
    std::vector<std::uint64_t> ready;
    for (;;) {
        if (accept_paused_until_ms_ != 0 && now_ms() >= accept_paused_until_ms_) {
            pause_accepting(false);
        }
        const int count = epoll_wait(epoll_fd_, events.data(), kEventsPerRound, wait_ms(!again_.empty()));
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            error = std::string("epoll_wait() failed: ") + std::strerror(errno);
            break;
        }
        ready.swap(again_);
        again_.clear();
        bool woken = false;
        bool accepting = false;
        for (int i = 0; i < count; ++i) {
            const std::uint64_t id = events[i].data.u64;
            woken = woken || id == kWakeId;
            accepting = accepting || id == kListenId;
            if (id != kWakeId && id != kListenId) {
                ready.push_back(id);
            }
        }
        if (woken) {
            std::uint64_t count = 0;
            [[maybe_unused]] const ssize_t taken = ::read(wake_fd_, &count, sizeof count);
            if (stopping_) {
                break;
            }
        }
        // By id: a connection closed earlier in the round is no longer found.
        for (const std::uint64_t id : ready) {
            const auto found = connections_list_.find(id);
            if (found != connections_list_.end() && !serve_ready(*found->second)) {
                close_connection(*found->second);
            }
        }
        ready.clear();
        expire_pending();
        if (accepting) {
            accept_some();
        }
        report_accept_failures();
        if (quiet_closed_ != 0 && now_ms() >= lines_interval_end_ms_) {
            report_quiet_connections();
        }
        if (!sink_.flush(error) || (reopen_requested_.exchange(false) && !sink_.reopen(error))) {
            break;
        }
    }
    drain();
    std::string flush_error;
    if (!sink_.flush(flush_error) && error.empty()) {
        error = flush_error;
    }
    return error.empty();
}

bool Server::serve_ready(Connection& connection) {
    if (!serve(connection, 1)) {
        return false;
    }
    if (connection.pending && connection.hello_seen) {
        unpend(connection);
        if (connection.quiet) {  // an agent after all: its lines from here on
            connection.quiet = false;
            std::fprintf(log_, "collector: %s connected\n", connection.peer.c_str());
        }
    }
    if (connection.wanted() != connection.watched) {
        connection.watched = connection.wanted();
        watch(connection.fd, connection.id, connection.watched, EPOLL_CTL_MOD);
    }
    if (connection.tls && connection.tls->pending()) {
        again_.push_back(connection.id);
    }
    return true;
}

int Server::wait_ms(bool again) const {
    if (again) {
        return 0;
    }
    std::int64_t until = next_deadline_ms();
    const std::int64_t quiet_report_ms = quiet_closed_ != 0 ? lines_interval_end_ms_ : 0;
    for (const std::int64_t time : {accept_paused_until_ms_, accept_report_ms_, quiet_report_ms}) {
        if (time != 0 && (until < 0 || time < until)) {
            until = time;
        }
    }
    return until < 0 ? -1 : static_cast<int>(std::clamp<std::int64_t>(until - now_ms(), 0, 60000));
}

void Server::close_connection(Connection& connection) {
    if (connection.pending) {
        unpend(connection);
    }
    connections_list_.erase(connection.id);  // the socket closes, and leaves epoll with it
}

void Server::drain() {
    // Connections already queued are agents that may have sent: taken in.
    // None after them: an agent that tries now is refused at once and goes
    // on to its next target instead of waiting in the queue.
    const std::int64_t deadline = now_ms() + kDrainMs;
    while (accept_paused_until_ms_ == 0 && accept_some() && now_ms() < deadline) {
    }
    ::close(listen_fd_);
    listen_fd_ = -1;
    watch(wake_fd_, kWakeId, 0, EPOLL_CTL_DEL);
    std::vector<Connection*> reading;
    for (const auto& entry : connections_list_) {
        // A reset, not an orderly end: to an agent that sends on, the next
        // send fails at once, and what it was sending goes out again on its
        // next connection, instead of into a socket that only answers with a
        // reset. Set now, so that closing is one call.
        const linger abort{1, 0};
        setsockopt(entry.second->fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        reading.push_back(entry.second.get());
    }
    while (!reading.empty() && now_ms() < deadline) {
        std::vector<Connection*> waiting;
        std::size_t busy = 0;
        for (Connection* connection : reading) {
            if (!serve(*connection, kDrainReads)) {
                close_connection(*connection);
                continue;
            }
            int queued = 0;
            ioctl(connection->fd, FIONREAD, &queued);  // what came in since the last read
            const bool more = !connection->would_block || queued > 0 ||
                              (connection->tls && connection->tls->pending());
            // Done once it would block at a record boundary (a record begun
            // is on its way, and waited for); closed at once, so that little
            // can come in between.
            const bool begun = connection->stream.pending() > 0 || (connection->tls && connection->tls->record_begun());
            if (more || (!connection->handshaking() && begun)) {
                busy += more ? 1 : 0;
                waiting.push_back(connection);
            } else {
                end_at_stop(*connection);
            }
        }
        reading.swap(waiting);
        if (!reading.empty() && busy == 0) {
            epoll_event event{};
            epoll_wait(epoll_fd_, &event, 1, static_cast<int>(std::max<std::int64_t>(deadline - now_ms(), 0)));
        }
    }
    while (!connections_list_.empty()) {
        end_at_stop(*connections_list_.begin()->second);
    }
    report_quiet_connections();
}

void Server::end_at_stop(Connection& connection) {
    ::close(connection.fd);  // first: anything the agent sends from here on fails at its end
    connection.fd = -1;
    agents_.add(connection.agent, {}, now_ms(), true);
    close_connection(connection);
}

}  // namespace kr::collector
