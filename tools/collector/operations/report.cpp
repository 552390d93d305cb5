#include "operations/report.h"

#include <chrono>

namespace kr::collector {

std::string totals_text(const Totals& totals) {
    const Server::Counters& server = totals.server;
    std::string text = "connections " + std::to_string(server.connections) + ", records " +
                       std::to_string(server.records) + ", events " + std::to_string(server.events) +
                       ", errors " + std::to_string(server.errors);
    if (totals.pcap_skipped) {
        text += ", left out of the capture file " + std::to_string(*totals.pcap_skipped);
    }
    if (totals.clickhouse) {
        const ClickHouseSink::Counters& c = *totals.clickhouse;
        auto n = [](std::uint64_t value) { return std::to_string(value); };
        text += ", clickhouse rows " + n(c.rows_inserted) + " in " + n(c.batches_inserted) + " batches, spooled " +
                n(c.batches_spooled) + ", replayed " + n(c.batches_replayed) + ", dropped " + n(c.batches_dropped) +
                " (" + n(c.rows_dropped) + " rows), left in the spool " + n(c.spool_batches) +
                ", quarantined " + n(c.batches_quarantined);
    }
    if (totals.dnstap) {
        const DnstapSocket::Counters& c = *totals.dnstap;
        text += ", dnstap frames sent " + std::to_string(c.sent) + ", dropped " + std::to_string(c.dropped) +
                ", receiver connections " + std::to_string(c.connects);
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
