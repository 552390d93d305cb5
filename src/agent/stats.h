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
    // The trace session's own counts, read by the run thread for each line.
    kr::capture::TraceLosses trace_losses;
};

// "Stats: events=... refused=... ..." with every counter since the start, in
// a fixed order, followed by the capture's own counters where the platform
// has them.
std::string stats_line(const PipelineCounters& counters, std::uint32_t queue_capacity);

}  // namespace kr::agent
