// Accepting, and the connections that have not sent their hello yet: each
// has until its deadline, and there are at most so many of them from one
// address and in all. Past a limit the oldest goes, not the newest, so that
// a flood of idle connections cannot keep out an agent that connects now:
// its hello comes at once, long before the flood can push it out.
#include <sys/resource.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "input/server_connection.h"

namespace kr::collector {

namespace {

// Accepts in one round, so that the connections accepted are read (and their
// hellos seen) before a long queue of others is taken in.
constexpr int kAcceptsPerRound = 32;
constexpr std::int64_t kAcceptPauseMs = 100;
constexpr std::int64_t kAcceptReportMs = 10000;
// Connections logged one by one per report interval; a real agent's are
// logged anyway, when its hello comes.
constexpr std::uint32_t kConnectionsLoggedPerInterval = 50;

}  // namespace

std::string raise_open_file_limit() {
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) != 0) {
        return std::string("cannot read the open-file limit: ") + std::strerror(errno);
    }
    const rlim_t before = files.rlim_cur;
    files.rlim_cur = files.rlim_max;
    if (before == files.rlim_max || setrlimit(RLIMIT_NOFILE, &files) != 0) {
        return "open files: at most " + std::to_string(before);
    }
    return "open files: at most " + std::to_string(files.rlim_cur) + " (raised from " + std::to_string(before) + ")";
}

bool Server::accept_some() {
    for (int i = 0; i < kAcceptsPerRound; ++i) {
        sockaddr_storage address{};
        socklen_t length = sizeof address;
        const int fd = accept4(listen_fd_, reinterpret_cast<sockaddr*>(&address), &length,
                               SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0) {
            std::string host;
            const std::string peer = address_text(reinterpret_cast<sockaddr*>(&address), length, &host);
            admit(fd, peer, host);
            continue;
        }
        const int code = errno;
        if (code == EMFILE || code == ENFILE || code == ENOBUFS || code == ENOMEM) {
            note_accept_failure(code);
            // A pending connection gives its descriptor to the one waiting;
            // without any, the listener rests a little: epoll would report
            // the queued connection again at once.
            if (!pending_.empty()) {
                close_pending(*pending_.front(), std::string("closed for a newer connection: ") + std::strerror(code));
                continue;
            }
            pause_accepting(true);
            return false;
        }
        if (code != EINTR && code != ECONNABORTED && code != EPROTO) {
            return false;  // EAGAIN: none left
        }
    }
    return true;
}

void Server::admit(int fd, const std::string& peer, const std::string& host) {
    auto connection = std::make_unique<Connection>(fd, peer, host, max_record_);
    Connection& added = *connection;
    added.id = next_id_++;
    added.accepted_ms = now_ms();
    added.agent = agents_.connect(host, added.accepted_ms);
    ++connections_;
    if (tls_) {
        added.tls = std::make_unique<TlsSession>(*tls_, fd);
    }
    added.quiet = !may_log_connection();
    if (!added.quiet) {
        std::fprintf(log_, "collector: %s connected\n", peer.c_str());
    }
    added.watched = EPOLLIN;
    connections_list_.emplace(added.id, std::move(connection));
    if (!watch(fd, added.id, added.watched, EPOLL_CTL_ADD)) {
        fail(added, std::string("epoll_ctl() failed: ") + std::strerror(errno), false);
        settle(added, false);
        close_connection(added);
        return;
    }
    added.in_pending = pending_.insert(pending_.end(), &added);
    added.pending = true;
    const std::size_t from_address = ++pending_per_address_[host];
    if (from_address > limits_.max_pending_per_address) {
        const auto oldest = std::find_if(pending_.begin(), pending_.end(),
                                         [&host](const Connection* c) { return c->host == host; });
        close_pending(**oldest, "closed for a newer connection: more than " +
                                    std::to_string(limits_.max_pending_per_address) +
                                    " connections from its address waited for their hello");
    }
    if (pending_.size() > limits_.max_pending) {
        close_pending(*pending_.front(), "closed for a newer connection: more than " +
                                             std::to_string(limits_.max_pending) +
                                             " connections waited for their hello");
    }
}

void Server::unpend(Connection& connection) {
    pending_.erase(connection.in_pending);
    connection.pending = false;
    const auto count = pending_per_address_.find(connection.host);
    if (count != pending_per_address_.end() && --count->second == 0) {
        pending_per_address_.erase(count);
    }
}

void Server::close_pending(Connection& connection, const std::string& why) {
    fail(connection, why, false);
    settle(connection, false);
    close_connection(connection);
}

std::int64_t Server::next_deadline_ms() const {
    if (pending_.empty()) {
        return -1;
    }
    // The oldest comes first, and every deadline runs from the accept.
    std::int64_t limit = static_cast<std::int64_t>(limits_.hello_timeout) * 1000;
    if (tls_) {
        limit = std::min(limit, handshake_timeout_ms_);
    }
    return pending_.front()->accepted_ms + limit;
}

void Server::expire_pending() {
    const std::int64_t now = now_ms();
    const std::int64_t hello_ms = static_cast<std::int64_t>(limits_.hello_timeout) * 1000;
    for (auto at = pending_.begin(); at != pending_.end();) {
        Connection& connection = **at++;  // close_pending() takes it out of the list
        const std::int64_t age = now - connection.accepted_ms;
        if (age < std::min(hello_ms, tls_ ? handshake_timeout_ms_ : hello_ms)) {
            break;  // and so are all after it, younger still
        }
        if (connection.handshaking() && age >= handshake_timeout_ms_) {
            close_pending(connection, "TLS handshake not done within " + std::to_string(handshake_timeout_ms_ / 1000) +
                                          " s");
        } else if (age >= hello_ms) {
            close_pending(connection, "no hello within " + std::to_string(limits_.hello_timeout) + " s");
        }
    }
}

void Server::note_accept_failure(int code) {
    if (accept_report_ms_ == 0) {
        std::fprintf(log_, "collector: cannot accept a connection: %s\n", std::strerror(code));
        accept_report_ms_ = now_ms() + kAcceptReportMs;
        return;
    }
    ++accept_failures_;
    accept_error_ = code;
}

void Server::report_accept_failures() {
    if (accept_report_ms_ == 0 || now_ms() < accept_report_ms_) {
        return;
    }
    if (accept_failures_ == 0) {
        accept_report_ms_ = 0;  // a quiet interval: the next failure is said at once
        return;
    }
    std::fprintf(log_, "collector: cannot accept a connection: %s (%llu more times in %lld s)\n",
                 std::strerror(accept_error_), static_cast<unsigned long long>(accept_failures_),
                 static_cast<long long>(kAcceptReportMs / 1000));
    accept_failures_ = 0;
    accept_report_ms_ = now_ms() + kAcceptReportMs;
}

bool Server::may_log_connection() {
    const std::int64_t now = now_ms();
    if (now >= lines_interval_end_ms_) {
        report_quiet_connections();
        lines_interval_end_ms_ = now + kAcceptReportMs;
        connections_logged_ = 0;
    }
    return ++connections_logged_ <= kConnectionsLoggedPerInterval;
}

void Server::report_quiet_connections() {
    if (quiet_closed_ != 0) {
        std::fprintf(log_, "collector: %llu more connections closed before their hello, not logged one by one\n",
                     static_cast<unsigned long long>(quiet_closed_));
        quiet_closed_ = 0;
    }
}

void Server::pause_accepting(bool paused) {
    watch(listen_fd_, kListenId, EPOLLIN, paused ? EPOLL_CTL_DEL : EPOLL_CTL_ADD);
    accept_paused_until_ms_ = paused ? now_ms() + kAcceptPauseMs : 0;
}

}  // namespace kr::collector
