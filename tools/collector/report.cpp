#include "report.h"

#include <chrono>

namespace kr::collector {

std::string totals_text(const Server& server, const Output& output, bool pcap) {
    std::string text = "connections " + std::to_string(server.connections()) + ", records " +
                       std::to_string(server.records()) + ", events " + std::to_string(server.events()) +
                       ", errors " + std::to_string(server.errors());
    if (pcap) {
        text += ", left out of the capture file " + std::to_string(output.pcap_skipped());
    }
    return text;
}

std::string agent_lines(const std::string& prefix, const AgentTable& agents) {
    std::string text;
    for (const AgentCounts& agent : agents.snapshot()) {
        text += prefix + agent_line(agent) + "\n";
    }
    return text;
}

Ticker::Ticker(std::uint32_t seconds, std::function<void()> tick) {
    thread_ = std::thread([this, seconds, tick = std::move(tick)] {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!wake_.wait_for(lock, std::chrono::seconds(seconds), [this] { return stopping_; })) {
            tick();
        }
    });
}

Ticker::~Ticker() {
    stop();
}

void Ticker::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) {
        thread_.join();
    }
}

}  // namespace kr::collector
