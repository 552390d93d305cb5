#include <cstdlib>

#include "capture/decoder.h"
#include "capture/etw_api.h"
#include "substitute/trace_substitute.h"

namespace kr::capture {
using kr::substitute::trace_substitute_add_session;
using kr::substitute::trace_substitute_api;

const EtwApi& etw_platform_api() {
    // On Windows the session outlives the agent and the next run finds it;
    // the stand-in's sessions end with the process, so a run that is to
    // find one (as every run after the first does there) is given its name.
    if (const char* name = std::getenv("AGENT_TRACE_SESSION_LEFT")) {
        trace_substitute_add_session(name, kDnsServerProviderGuid);
    }
    return trace_substitute_api();
}

}  // namespace kr::capture
