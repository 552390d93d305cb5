#pragma once
// Platform hook between reading the settings and starting the pipeline: the
// Linux build chooses the trace substitute's event source from the
// configuration; the Windows build reads real ETW and needs nothing.
#include <string>

#include "config/config.h"

namespace kr::agent {

void configure_capture(const kr::config::Config& config);
// The configured capture's settings as its open logs them; "" where the
// platform has none.
std::string capture_settings();
// Appends " name=value" for each counter of the configured capture (nothing
// where the platform has none).
void append_capture_stats(std::string& line);

}  // namespace kr::agent
