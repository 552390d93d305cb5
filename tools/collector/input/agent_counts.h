#pragma once
// What the server counts per connection and reports to whoever keeps the
// counts per agent (operations/agents.h): the server knows only this.
#include <cstddef>
#include <cstdint>
#include <string>

namespace kr::collector {

struct AgentCounts {
    std::string peer;
    std::uint64_t connections = 0;    // accepted
    std::uint64_t open = 0;           // connections open now
    std::uint64_t records = 0;        // hello included
    std::uint64_t events = 0;
    std::uint64_t bytes = 0;          // received, length prefixes included
    std::uint64_t format_errors = 0;  // connections closed for a malformed record
    std::uint64_t broken = 0;         // connections that failed a read or ended inside a record
    bool has_events = false;
    std::uint32_t first_event_time = 0;  // the time the first and the latest event carry
    std::uint32_t last_event_time = 0;
    std::int64_t last_record_ms = 0;  // steady clock: the last record, or the last connection before any
    std::string tls_subject;          // of the latest client certificate checked, "" for none
    std::int64_t connected_since = 0;  // seconds since 1970: when its open connections began

    // Adds what `delta` counted since the last add (connections and open aside).
    void add(const AgentCounts& delta);
};

// Where the server reports its connections; called from the server loop.
class AgentCounter {
public:
    virtual ~AgentCounter() = default;

    // A new connection from `address` (no port); returns the handle add() takes.
    virtual std::size_t connect(const std::string& address, std::int64_t now_ms) = 0;
    // Adds a connection's counts since the last call; `closed` when it ended.
    virtual void add(std::size_t agent, const AgentCounts& delta, std::int64_t now_ms, bool closed) = 0;
};

}  // namespace kr::collector
