#pragma once
// The counters of one run and the "Stats:" log line made from them.
#include <cstddef>
#include <cstdint>
#include <string>

#include "capture/decoder.h"
#include "capture/etw_session.h"
#include "forward/sensor_queue.h"
#include "forward/sensor_queue_processor.h"

namespace kr::agent {

// Owned by the run sequence while stats are on; every part counts into its
// own group, on the threads that already do the work.
struct PipelineCounters {
    explicit PipelineCounters(std::size_t targets) : sender(targets) {}
    kr::capture::DecoderCounters decoder;
    kr::forward::QueueCounters queue;
    kr::forward::SenderCounters sender;
    // The trace session's own counts, read by the run thread for each line;
    // unknown since the last query failed.
    kr::capture::TraceLosses trace_losses;
    bool trace_losses_known = false;
    bool trace_query_failure_logged = false;
    bool trace_buffers_logged = false;
};

// Queries the trace session for the next line. The first failure is logged
// (the losses then read "-" until a query succeeds), and the buffers the
// session was granted are logged after the first query that succeeds.
void read_trace_losses(PipelineCounters& counters);

// "Stats: events=... refused=... ..." with every counter since the start, in
// a fixed order, followed by the capture's own counters where the platform
// has them.
std::string stats_line(const PipelineCounters& counters, std::uint32_t queue_capacity);

}  // namespace kr::agent
