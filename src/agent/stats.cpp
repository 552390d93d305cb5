#include "agent/stats.h"

#include <cinttypes>
#include <cstdio>

#include "agent/capture_setup.h"
#include "error/error.h"
#include "log/log.h"

namespace kr::agent {
namespace {

void put(std::string& line, const char* name, std::uint64_t value) {
    char text[64];
    std::snprintf(text, sizeof text, " %s=%" PRIu64, name, value);
    line += text;
}

// An unknown count: what a failed query left.
void put_unknown(std::string& line, const char* name) {
    line += ' ';
    line += name;
    line += "=-";
}

}  // namespace

void read_trace_losses(PipelineCounters& counters) {
    const ULONG status = kr::capture::query_trace_losses(counters.trace_losses);
    counters.trace_losses_known = status == ERROR_SUCCESS;
    if (!counters.trace_losses_known && !counters.trace_query_failure_logged) {
        counters.trace_query_failure_logged = true;
        kr::log::log_print("ERROR - ETW trace query failed: %s",
                           kr::error::failure_text("ControlTrace()", kr::error::windows_error_code(status)).c_str());
    }
    if (counters.trace_losses_known && !counters.trace_buffers_logged) {
        counters.trace_buffers_logged = true;
        const kr::capture::TraceLosses& t = counters.trace_losses;
        kr::log::log_print("ETW trace buffers: %u of %u KB, minimum %u, maximum %u", static_cast<unsigned>(t.buffers),
                           static_cast<unsigned>(t.buffer_kb), static_cast<unsigned>(t.minimum_buffers),
                           static_cast<unsigned>(t.maximum_buffers));
    }
}

std::string stats_line(const PipelineCounters& counters, std::uint32_t queue_capacity) {
    const kr::capture::DecoderCounters& d = counters.decoder;
    const kr::forward::QueueCounters& q = counters.queue;
    const kr::forward::SenderCounters& s = counters.sender;
    std::string line = "Stats:";
    put(line, "events", d.events.get());
    put(line, "refused", q.refused.get());
    put(line, "queued", q.queued.get());
    put(line, "dropped", q.dropped.get());
    put(line, "in_queue", q.in_queue.get());
    put(line, "sent", s.sent.get());
    put(line, "resent", s.resent.get());
    put(line, "connects", s.connects.get());
    put(line, "breaks", s.breaks.get());
    put(line, "seen_256", d.seen[0].get());
    put(line, "seen_257", d.seen[1].get());
    put(line, "seen_258", d.seen[2].get());
    put(line, "non_ipv4", d.non_ipv4.get());
    put(line, "tdh_info_failed", d.tdh_info_failed.get());
    put(line, "tdh_size_failed", d.tdh_size_failed.get());
    put(line, "tdh_get_failed", d.tdh_get_failed.get());
    put(line, "no_packet_field", d.no_packet_field.get());
    put(line, "bad_size", d.bad_size.get());
    put(line, "alloc_failed", d.alloc_failed.get());
    put(line, "dropped_bytes", q.dropped_bytes.get());
    put(line, "queue_bytes", q.bytes.get());
    put(line, "queue_peak_bytes", q.peak_bytes.get());
    put(line, "queue_capacity", queue_capacity);
    put(line, "sent_bytes", s.sent_bytes.get());
    put(line, "paused_ms", s.paused_ms.get());
    for (std::size_t i = 0; i < s.connect_failed.size(); ++i) {
        put(line, ("connect_failed_" + std::to_string(i + 1)).c_str(), s.connect_failed[i].get());
    }
    append_capture_stats(line);
    put(line, "in_hand", s.in_hand.get());
    if (counters.trace_losses_known) {
        put(line, "etw_events_lost", counters.trace_losses.events_lost);
        put(line, "etw_realtime_buffers_lost", counters.trace_losses.realtime_buffers_lost);
    } else {
        put_unknown(line, "etw_events_lost");
        put_unknown(line, "etw_realtime_buffers_lost");
    }
    return line;
}

}  // namespace kr::agent
