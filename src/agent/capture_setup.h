#pragma once
// Platform hook between reading the settings and starting the pipeline: the
// Linux build chooses the trace substitute's event source from the
// configuration; the Windows build reads real ETW and needs nothing.
#include <string>

#include "capture/etw_session.h"
#include "config/config.h"

namespace kr::agent {

void configure_capture(const kr::config::Config& config);
// Whether a session that failed at `step` is a capture that cannot start,
// which ends the run.
bool capture_failure_ends_run(kr::capture::SessionStep step);
// The configured capture's keys as they are in effect ("capture-port 53"),
// one line each; "" where the platform has none.
std::string capture_config();
// The configured capture's settings as its open logs them; "" where the
// platform has none.
std::string capture_settings();
// Appends " name=value" for each counter of the configured capture (nothing
// where the platform has none).
void append_capture_stats(std::string& line);

}  // namespace kr::agent
