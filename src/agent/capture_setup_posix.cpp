#include "agent/capture_setup.h"

namespace kr::agent {

void configure_capture(const kr::config::Config&) {}

}  // namespace kr::agent
