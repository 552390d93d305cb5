#pragma once
// One agent connection as the server keeps it, shared by the listening loop
// (server.cpp) and the reading of its records (server_connection.cpp).
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <list>
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

// The epoll data of the two sockets that are not connections.
constexpr std::uint64_t kWakeId = 0;
constexpr std::uint64_t kListenId = 1;

// "ADDR:PORT" ("[ADDR]:PORT" for IPv6); `host_only`, when given, gets ADDR alone.
std::string address_text(const sockaddr* address, socklen_t length, std::string* host_only);

struct Server::Connection {
    Connection(int socket, std::string peer_text, std::string host_text, std::uint32_t max_record)
        : fd(socket), peer(std::move(peer_text)), host(std::move(host_text)), stream(max_record) {}
    ~Connection() {
        tls.reset();
        if (fd >= 0) {
            ::close(fd);
        }
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    int fd;
    std::uint64_t id = 0;
    std::string peer;
    std::string host;  // the peer's address without the port
    std::int64_t accepted_ms = 0;
    RecordStream stream;
    bool hello_seen = false;
    std::string version;
    std::uint64_t records = 0;
    std::size_t agent = 0;
    AgentCounts unaccounted;  // since the last AgentCounter::add
    std::string closing_note;  // the log line about its end
    std::unique_ptr<TlsSession> tls;     // with a TLS listener
    bool pending = false;                // in the server's list of those without a hello
    bool quiet = false;                  // not logged until its hello: one of a flood
    std::list<Connection*>::iterator in_pending;
    std::uint32_t watched = 0;           // the epoll events asked for
    bool would_block = false;            // the last read found nothing more

    bool handshaking() const { return tls && !tls->established(); }
    std::uint32_t wanted() const { return tls && tls->wait() == TlsSession::Wait::write ? EPOLLOUT : EPOLLIN; }
};

}  // namespace kr::collector
