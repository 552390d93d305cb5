#include "operations/agents.h"

#include <ctime>

#include "model/iso_time.h"

namespace kr::collector {

std::size_t AgentTable::connect(const std::string& address, std::int64_t now_ms) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = index_.find(address);
    if (found == index_.end()) {
        const bool over = index_.size() >= max_agents_;
        found = index_.find(over ? kOtherAgents : address);
        if (found == index_.end()) {
            found = index_.emplace(over ? kOtherAgents : address, agents_.size()).first;
            agents_.emplace_back();
            agents_.back().peer = found->first;
        }
    }
    AgentCounts& agent = agents_[found->second];
    if (agent.open == 0) {
        agent.connected_since = static_cast<std::int64_t>(std::time(nullptr));
    }
    ++agent.connections;
    ++agent.open;
    if (agent.records == 0) {
        agent.last_record_ms = now_ms;
    }
    return found->second;
}

void AgentTable::add(std::size_t agent, const AgentCounts& delta, std::int64_t now_ms, bool closed) {
    std::lock_guard<std::mutex> lock(mutex_);
    AgentCounts& counts = agents_[agent];
    counts.add(delta);
    if (delta.records != 0) {
        counts.last_record_ms = now_ms;
    }
    if (closed && counts.open > 0) {
        --counts.open;
    }
}

std::vector<AgentCounts> AgentTable::snapshot() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return agents_;
}

std::string agent_line(const AgentCounts& a) {
    auto n = [](std::uint64_t value) { return std::to_string(value); };
    return "agent " + a.peer + ": open connections " + n(a.open) + ", connections " + n(a.connections) + ", records " +
           n(a.records) + ", events " + n(a.events) + ", bytes " + n(a.bytes) + ", format errors " +
           n(a.format_errors) + ", broken " + n(a.broken) + ", first event " +
           (a.has_events ? iso_time(a.first_event_time) : "-") + ", last event " +
           (a.has_events ? iso_time(a.last_event_time) : "-");
}

}  // namespace kr::collector
