#include "operations/metrics.h"

#include <httplib.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "operations/options.h"

namespace kr::collector {

namespace {

// Scrapes are rare and quick: a couple of threads are plenty.
constexpr std::size_t kHttpThreads = 2;

struct Family {
    const char* name;
    const char* type;
    const char* help;
};

void header(std::string& out, const Family& family) {
    out += "# HELP ";
    out += family.name;
    out += ' ';
    out += family.help;
    out += "\n# TYPE ";
    out += family.name;
    out += ' ';
    out += family.type;
    out += '\n';
}

// Peers are numeric addresses or "other": nothing in them needs escaping.
void sample(std::string& out, const Family& family, const std::string& peer, const std::string& value) {
    out += family.name;
    out += "{peer=\"";
    out += peer;
    out += "\"} ";
    out += value;
    out += '\n';
}

}  // namespace

std::string render_metrics(const std::vector<AgentCounts>& agents, const std::vector<CollectorMetric>& others,
                           std::int64_t now_ms) {
    using Field = std::uint64_t AgentCounts::*;
    static const struct {
        Family family;
        Field field;
    } counters[] = {
        {{"collector_connections_total", "counter", "Agent connections accepted."}, &AgentCounts::connections},
        {{"collector_open_connections", "gauge", "Agent connections open now."}, &AgentCounts::open},
        {{"collector_records_total", "counter", "Records received, hellos included."}, &AgentCounts::records},
        {{"collector_events_total", "counter", "Event messages received (one JSON line each)."}, &AgentCounts::events},
        {{"collector_received_bytes_total", "counter", "Bytes received from agents, length prefixes included."},
         &AgentCounts::bytes},
        {{"collector_format_errors_total", "counter", "Connections closed for a malformed record."},
         &AgentCounts::format_errors},
        {{"collector_broken_connections_total", "counter",
          "Connections that failed a read or ended inside a record."},
         &AgentCounts::broken},
    };
    std::string out;
    for (const auto& counter : counters) {
        header(out, counter.family);
        for (const AgentCounts& agent : agents) {
            sample(out, counter.family, agent.peer, std::to_string(agent.*counter.field));
        }
    }
    const Family first{"collector_first_event_timestamp_seconds", "gauge",
                       "Time the agent's first event carries, in seconds since 1970."};
    const Family last{"collector_last_event_timestamp_seconds", "gauge",
                      "Time the agent's latest event carries, in seconds since 1970."};
    for (const Family* family : {&first, &last}) {
        header(out, *family);
        for (const AgentCounts& agent : agents) {
            if (agent.has_events) {
                sample(out, *family, agent.peer,
                       std::to_string(family == &first ? agent.first_event_time : agent.last_event_time));
            }
        }
    }
    const Family age{"collector_last_record_age_seconds", "gauge",
                     "Seconds since a connected agent's last record (or its connection, before any record)."};
    header(out, age);
    for (const AgentCounts& agent : agents) {
        if (agent.open > 0) {
            char text[32];
            std::snprintf(text, sizeof text, "%.3f", static_cast<double>(now_ms - agent.last_record_ms) / 1000.0);
            sample(out, age, agent.peer, text);
        }
    }
    for (const CollectorMetric& metric : others) {
        header(out, {metric.name, metric.type, metric.help});
        out += metric.name;
        out += ' ' + std::to_string(metric.value) + '\n';
    }
    return out;
}

CollectorMetric pcap_metric(std::uint64_t skipped) {
    return {"collector_pcap_skipped_events_total", "counter", "Events left out of the capture file.", skipped};
}

std::vector<CollectorMetric> clickhouse_metrics(const ClickHouseSink::Counters& c) {
    return {
        {"collector_clickhouse_rows_inserted_total", "counter", "Rows ClickHouse accepted.", c.rows_inserted},
        {"collector_clickhouse_batches_inserted_total", "counter", "Batches ClickHouse accepted.", c.batches_inserted},
        {"collector_clickhouse_batches_spooled_total", "counter", "Batches written to the spool.", c.batches_spooled},
        {"collector_clickhouse_batches_replayed_total", "counter", "Batches inserted from the spool.",
         c.batches_replayed},
        {"collector_clickhouse_batches_dropped_total", "counter",
         "Batches lost: memory or spool full, or the spool unwritable.", c.batches_dropped},
        {"collector_clickhouse_rows_dropped_total", "counter", "Rows in the batches lost.", c.rows_dropped},
        {"collector_clickhouse_spool_batches", "gauge", "Batches in the spool now.", c.spool_batches},
        {"collector_clickhouse_batches_quarantined_total", "counter",
         "Spool files moved to quarantine/: failed their check or refused as malformed.", c.batches_quarantined},
        {"collector_clickhouse_failing", "gauge", "1 while inserts fail (rows are held), else 0.", c.failing},
        {"collector_clickhouse_configuration_error", "gauge",
         "1 while inserts fail for a reason only the configuration can fix (user, grants, table), else 0.",
         c.configuration_error},
        {"collector_clickhouse_last_error_code", "gauge",
         "ClickHouse's exception code of the last failed insert (0: none or no answer).", c.last_error_code},
    };
}

struct MetricsServer::Impl {
    httplib::Server http;
    std::thread thread;
    std::atomic<bool> ended{false};
    std::string url;
};

MetricsServer::MetricsServer(std::function<std::string()> render) : impl_(std::make_unique<Impl>()) {
    impl_->http.new_task_queue = [] { return new httplib::ThreadPool(kHttpThreads); };
    impl_->http.Get("/metrics", [render = std::move(render)](const httplib::Request&, httplib::Response& response) {
        response.set_content(render(), "text/plain; version=0.0.4; charset=utf-8");
    });
}

MetricsServer::~MetricsServer() {
    stop();
}

bool MetricsServer::start(const std::string& address, std::string& error) {
    std::string host;
    std::uint16_t port = 0;
    if (!split_host_port(address, host, port)) {
        error = "bad metrics address '" + address + "'";
        return false;
    }
    errno = 0;
    const int bound = port == 0 ? impl_->http.bind_to_any_port(host) : impl_->http.bind_to_port(host, port) ? port : -1;
    if (bound <= 0) {
        const int code = errno;
        error = "cannot serve metrics on " + address + (code != 0 ? std::string(": ") + std::strerror(code) : "");
        return false;
    }
    const bool v6 = host.find(':') != std::string::npos;
    impl_->url = "http://" + (v6 ? "[" + host + "]" : host) + ":" + std::to_string(bound) + "/metrics";
    impl_->thread = std::thread([this] {
        impl_->http.listen_after_bind();
        impl_->ended = true;
    });
    // stop() does nothing to a server that is not running yet, so wait until it is.
    while (!impl_->http.is_running() && !impl_->ended) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

std::string MetricsServer::url() const {
    return impl_->url;
}

void MetricsServer::stop() {
    if (impl_->thread.joinable()) {
        impl_->http.stop();
        impl_->thread.join();
    }
}

}  // namespace kr::collector
