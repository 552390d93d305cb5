#pragma once
// The collector's counters for Prometheus: the text exposition format and a
// small HTTP endpoint that serves it at /metrics.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "agents.h"

namespace kr::collector {

// Every family, labelled by agent (`peer`) where it is counted per agent.
// `pcap_skipped` is null when no capture file is written. `now_ms` is on the
// steady clock of AgentCounts::last_record_ms.
std::string render_metrics(const std::vector<AgentCounts>& agents, const std::uint64_t* pcap_skipped,
                           std::int64_t now_ms);

// Serves what `render` returns, from its own threads, until stop() or destruction.
class MetricsServer {
public:
    explicit MetricsServer(std::function<std::string()> render);
    ~MetricsServer();
    MetricsServer(const MetricsServer&) = delete;
    MetricsServer& operator=(const MetricsServer&) = delete;

    // Binds "ADDR:PORT" and starts serving. False with the reason on failure.
    bool start(const std::string& address, std::string& error);
    // "http://ADDR:PORT/metrics" with the bound port.
    std::string url() const;
    void stop();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace kr::collector
