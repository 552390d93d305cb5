#pragma once
// The collector's counters for Prometheus: the text exposition format and a
// small HTTP endpoint that serves it at /metrics.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "operations/agents.h"
#include "outputs/clickhouse/clickhouse_sink.h"
#include "outputs/dnstap_socket.h"

namespace kr::collector {

// A family without labels: one value for the whole collector.
struct CollectorMetric {
    const char* name;
    const char* type;  // "counter" or "gauge"
    const char* help;
    std::uint64_t value;
};

// The per-agent families (label `peer`), then `others`. `now_ms` is on the
// steady clock of AgentCounts::last_record_ms.
std::string render_metrics(const std::vector<AgentCounts>& agents, const std::vector<CollectorMetric>& others,
                           std::int64_t now_ms);

// The metrics of the optional outputs, for render_metrics().
CollectorMetric pcap_metric(std::uint64_t skipped);
std::vector<CollectorMetric> clickhouse_metrics(const ClickHouseSink::Counters& counters);
std::vector<CollectorMetric> dnstap_metrics(const DnstapSocket::Counters& counters);

// Serves what `render` returns at /metrics, from the poll loop of an
// HttpServer (see http_server.h), until stop() or destruction.
class MetricsServer {
public:
    explicit MetricsServer(std::function<std::string()> render);
    ~MetricsServer();
    MetricsServer(const MetricsServer&) = delete;
    MetricsServer& operator=(const MetricsServer&) = delete;

    // Binds "ADDR:PORT" and starts serving, asking for the password when
    // there is one. False with the reason on failure.
    bool start(const std::string& address, const std::string& password, std::string& error);
    // "http://ADDR:PORT/metrics" with the bound port.
    std::string url() const;
    void stop();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace kr::collector
