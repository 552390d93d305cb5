#pragma once
// Platform hook between reading the settings and starting the pipeline: the
// Linux build chooses the trace substitute's event source from the
// configuration; the Windows build reads real ETW and needs nothing.
#include "config/config.h"

namespace kr::agent {

void configure_capture(const kr::config::Config& config);

}  // namespace kr::agent
