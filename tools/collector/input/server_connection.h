#pragma once
// One agent connection as the server keeps it, shared by the listening loop
// (server.cpp) and the reading of its records (server_connection.cpp).
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "input/agent_counts.h"
#include "input/record_stream.h"
#include "input/server.h"
#include "input/tls.h"

namespace kr::collector {

inline std::int64_t now_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

struct Server::Connection {
    Connection(int socket, std::string peer_text, std::uint32_t max_record)
        : fd(socket), peer(std::move(peer_text)), stream(max_record) {}
    ~Connection() {
        tls.reset();
        ::close(fd);
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    int fd;
    std::string peer;
    RecordStream stream;
    bool hello_seen = false;
    std::string version;
    std::uint64_t records = 0;
    std::size_t agent = 0;
    AgentCounts unaccounted;  // since the last AgentCounter::add
    std::string closing_note;  // the log line about its end
    std::unique_ptr<TlsSession> tls;     // with a TLS listener
    std::int64_t handshake_deadline_ms = 0;

    bool handshaking() const { return tls && !tls->established(); }
    short poll_events() const { return tls && tls->wait() == TlsSession::Wait::write ? POLLOUT : POLLIN; }
};

}  // namespace kr::collector
