#pragma once
// The collector's network side: one thread, one epoll loop, non-blocking
// sockets, so a slow or silent agent never holds up another, and idle
// connections cost a round nothing. Connections that have not sent their
// hello yet are bounded in time and number (ListenerOptions), oldest closed
// first, so that no flood of them keeps an agent out.
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <list>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "input/agent_counts.h"
#include "model/event_sink.h"
#include "options/options.h"

namespace kr::collector {

class TlsContext;

class Server {
public:
    // Totals for the whole server, readable from any thread.
    struct Counters {
        std::uint64_t connections = 0;
        std::uint64_t records = 0;
        std::uint64_t events = 0;
        std::uint64_t errors = 0;
    };

    // Events go to `sink`, each connection's counts to `agents`; `log`
    // receives the connection notes and error lines.
    Server(EventSink& sink, AgentCounter& agents, std::uint32_t max_record, std::FILE* log);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Binds and listens on "ADDR:PORT". False with the reason on failure.
    bool listen(const std::string& address, std::string& error);
    // Makes the listener TLS-only (before run()). False with the reason when
    // the certificate, key or client CA cannot be used; a key file that every
    // user can read is used, with a warning on the log.
    bool use_tls(const TlsOptions& options, std::string& error);
    // The limits on connections without their hello (before run()).
    void limit_pending(const ListenerOptions& options) { limits_ = options; }
    // The bound address, with the real port when port 0 was asked for.
    std::string local_address() const;

    // Accepts and serves connections until stop(). Each connection must open
    // with a hello; a malformed record closes only its own connection, with
    // one line on the log; records before it have already gone to the
    // output. Output is flushed after every round of reads. At stop the
    // listener closes first; each agent connection is then read until it
    // would block at a record boundary (within kDrainMs in all), its events
    // handed on, and it is reset, so that what an agent sends after that
    // fails at its end instead of vanishing. Returns false with the reason
    // when the output could not be written.
    bool run(std::string& error);
    // Ends run() soon; safe from a signal handler or another thread.
    void stop();
    // Has run() ask the sink to reopen its files after the current round;
    // safe from a signal handler or another thread.
    void request_reopen();

    Counters counters() const { return {connections_, records_, events_, errors_}; }

    static constexpr std::int64_t kDrainMs = 2000;

private:
    struct Connection;

    // Ends the wait of run() (signal-safe).
    void wake();
    // The loop (server.cpp).
    bool watch(int fd, std::uint64_t id, std::uint32_t events, int operation);
    // How long epoll may sleep: pending connections have deadlines, a paused
    // listener and the accept failures' report a time, and data already
    // decrypted inside a TLS session does not wake epoll.
    int wait_ms(bool again) const;
    // Serves one connection that epoll reported; false when it closed.
    bool serve_ready(Connection& connection);
    void drain();
    void end_at_stop(Connection& connection);
    // Removes a connection: from the pending list, the table, its socket.
    void close_connection(Connection& connection);

    // Accepting and the pending connections (server_pending.cpp).
    // True when more may wait in the queue.
    bool accept_some();
    void admit(int fd, const std::string& peer, const std::string& host);
    // The connection has sent its hello (or gone): no longer pending.
    void unpend(Connection& connection);
    // Closes a pending connection with one line saying why.
    void close_pending(Connection& connection, const std::string& why);
    // Closes the pending connections past their deadline.
    void expire_pending();
    std::int64_t next_deadline_ms() const;
    void note_accept_failure(int code);
    void report_accept_failures();
    // Whether a new connection gets its lines now: at most so many per
    // interval, so that a flood of connections cannot flood the log.
    bool may_log_connection();
    void report_quiet_connections();
    void pause_accepting(bool paused);

    // One connection's reading and records (server_connection.cpp).
    // Reads up to `reads` times; false when the connection is finished.
    bool serve(Connection& connection, int reads);
    // Accounts and logs what serve() or a time-out did to a connection.
    void settle(Connection& connection, bool open);
    bool advance(Connection& connection, int reads);
    bool read_some(Connection& connection, int reads);
    // As read(2), through TLS when the listener uses it; -1 with `problem`
    // empty when nothing more can be read now.
    long receive(Connection& connection, std::string& problem);
    bool take_records(Connection& connection);
    // `format`: a malformed record rather than a broken connection.
    void fail(Connection& connection, const std::string& problem, bool format = true);

    EventSink& sink_;
    std::uint32_t max_record_;
    std::FILE* log_;
    int listen_fd_ = -1;
    int wake_fd_ = -1;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> reopen_requested_{false};
    int epoll_fd_ = -1;
    // By id, the epoll data of each socket (0 and 1: the wake-up and the listener).
    std::unordered_map<std::uint64_t, std::unique_ptr<Connection>> connections_list_;
    std::uint64_t next_id_ = 2;
    std::list<Connection*> pending_;  // no hello yet, oldest first
    std::unordered_map<std::string, std::size_t> pending_per_address_;
    std::vector<std::uint64_t> again_;  // decrypted bytes wait inside their TLS session
    ListenerOptions limits_;
    std::vector<std::uint8_t> read_buffer_;
    std::int64_t accept_paused_until_ms_ = 0;  // 0: the listener is watched
    // "Cannot accept" is said at once, then at most once per interval with a count.
    std::int64_t accept_report_ms_ = 0;  // 0: none in the current interval
    std::uint64_t accept_failures_ = 0;  // since the last line
    int accept_error_ = 0;
    std::int64_t lines_interval_end_ms_ = 0;
    std::uint32_t connections_logged_ = 0;  // in the current interval
    std::uint64_t quiet_closed_ = 0;        // closed before their hello, not logged
    std::unique_ptr<TlsContext> tls_;
    std::int64_t handshake_timeout_ms_ = 0;
    std::atomic<std::uint64_t> connections_{0};
    std::atomic<std::uint64_t> records_{0};
    std::atomic<std::uint64_t> events_{0};
    std::atomic<std::uint64_t> errors_{0};
    AgentCounter& agents_;
};

// Raises this process's open-file limit to its hard limit, so that agents and
// a flood beside them fit; returns the line that says what the limit is.
std::string raise_open_file_limit();

}  // namespace kr::collector
