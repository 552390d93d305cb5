#include "operations/metrics.h"

namespace kr::collector {

namespace {

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

std::vector<CollectorMetric> dnstap_metrics(const DnstapSocket::Counters& c) {
    return {
        {"collector_dnstap_frames_sent_total", "counter", "dnstap frames the receiver's socket took.", c.sent},
        {"collector_dnstap_frames_dropped_total", "counter",
         "dnstap frames lost: queue full, connection broken, or still queued at exit.", c.dropped},
        {"collector_dnstap_connections_total", "counter", "Connections made to the dnstap receiver.", c.connects},
    };
}

}  // namespace kr::collector
