#pragma once
// The collector's network side: one thread, one poll loop, non-blocking
// sockets, so a slow or silent agent never holds up another.
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
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
    // the certificate, key or client CA cannot be used.
    bool use_tls(const TlsOptions& options, std::string& error);
    // The bound address, with the real port when port 0 was asked for.
    std::string local_address() const;

    // Accepts and serves connections until stop(). Each connection must open
    // with a hello; a malformed record closes only its own connection, with
    // one line on the log; records before it have already gone to the
    // output. Output is flushed after every round of reads. Returns false
    // with the reason when the output could not be written.
    bool run(std::string& error);
    // Ends run() soon; safe from a signal handler or another thread.
    void stop();
    // Has run() ask the sink to reopen its files after the current round;
    // safe from a signal handler or another thread.
    void request_reopen();

    Counters counters() const { return {connections_, records_, events_, errors_}; }

private:
    struct Connection;

    // Ends the poll of run() (signal-safe).
    void wake();
    void accept_all();
    // How long poll may sleep: handshakes have deadlines, and data already
    // decrypted inside a TLS session does not wake poll.
    int poll_timeout_ms(bool accepting) const;
    // Closes the connections whose TLS handshake ran out of time, leaving
    // null entries in the list.
    void expire_handshakes();
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
    std::vector<std::unique_ptr<Connection>> connections_list_;
    std::vector<std::uint8_t> read_buffer_;
    std::int64_t accept_paused_until_ms_ = 0;
    std::unique_ptr<TlsContext> tls_;
    std::int64_t handshake_timeout_ms_ = 0;
    std::atomic<std::uint64_t> connections_{0};
    std::atomic<std::uint64_t> records_{0};
    std::atomic<std::uint64_t> events_{0};
    std::atomic<std::uint64_t> errors_{0};
    AgentCounter& agents_;
};

}  // namespace kr::collector
