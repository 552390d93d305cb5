#pragma once
// Counts per agent, an agent being a peer address without its port, so an
// agent's reconnections add up in one entry. The number of entries is
// bounded: peers beyond the bound share one entry named "other". The server
// loop writes; the stats line and the metrics endpoint read from their own
// threads.
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace kr::collector {

constexpr const char* kOtherAgents = "other";

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

    // Adds what `delta` counted since the last add (connections and open aside).
    void add(const AgentCounts& delta);
};

class AgentTable {
public:
    explicit AgentTable(std::size_t max_agents) : max_agents_(max_agents) {}

    // A new connection from `address`; returns its entry's index.
    std::size_t connect(const std::string& address, std::int64_t now_ms);
    // Adds a connection's counts since the last call; `closed` when it ended.
    void add(std::size_t agent, const AgentCounts& delta, std::int64_t now_ms, bool closed);
    // A copy of every entry, in the order agents first connected.
    std::vector<AgentCounts> snapshot() const;

private:
    std::size_t max_agents_;
    mutable std::mutex mutex_;
    std::vector<AgentCounts> agents_;
    std::unordered_map<std::string, std::size_t> index_;
};

// "agent PEER: open connections N, connections N, records N, events N, bytes N,
// format errors N, broken N, first event ISO, last event ISO" ("-" for the
// times of an agent without events).
std::string agent_line(const AgentCounts& agent);

}  // namespace kr::collector
