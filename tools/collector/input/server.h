#pragma once
// The collector's network side: one thread, one poll loop, non-blocking
// sockets, so a slow or silent agent never holds up another.
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "operations/agents.h"
#include "operations/options.h"
#include "outputs/output.h"

namespace kr::collector {

class Server {
public:
    // `log` receives the connection notes and error lines; `max_agents`
    // bounds the entries of agents().
    Server(Output& output, std::uint32_t max_record, std::FILE* log, std::size_t max_agents = kDefaultMaxAgents);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Binds and listens on "ADDR:PORT". False with the reason on failure.
    bool listen(const std::string& address, std::string& error);
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

    std::uint64_t connections() const { return connections_; }
    std::uint64_t records() const { return records_; }
    std::uint64_t events() const { return events_; }
    std::uint64_t errors() const { return errors_; }
    const AgentTable& agents() const { return agents_; }

private:
    struct Connection;

    void accept_all();
    // Reads up to `reads` times; false when the connection is finished.
    bool serve(Connection& connection, int reads);
    bool read_some(Connection& connection, int reads);
    bool take_records(Connection& connection);
    // `format`: a malformed record rather than a broken connection.
    void fail(Connection& connection, const std::string& problem, bool format = true);

    Output& output_;
    std::uint32_t max_record_;
    std::FILE* log_;
    int listen_fd_ = -1;
    int wake_fd_ = -1;
    std::vector<std::unique_ptr<Connection>> connections_list_;
    std::vector<std::uint8_t> read_buffer_;
    std::int64_t accept_paused_until_ms_ = 0;
    std::atomic<std::uint64_t> connections_{0};
    std::atomic<std::uint64_t> records_{0};
    std::atomic<std::uint64_t> events_{0};
    std::atomic<std::uint64_t> errors_{0};
    AgentTable agents_;
};

}  // namespace kr::collector
