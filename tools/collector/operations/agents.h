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

#include "input/agent_counts.h"

namespace kr::collector {

constexpr const char* kOtherAgents = "other";

class AgentTable : public AgentCounter {
public:
    explicit AgentTable(std::size_t max_agents) : max_agents_(max_agents) {}

    // The handle connect() returns is the entry's index.
    std::size_t connect(const std::string& address, std::int64_t now_ms) override;
    void add(std::size_t agent, const AgentCounts& delta, std::int64_t now_ms, bool closed) override;
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
