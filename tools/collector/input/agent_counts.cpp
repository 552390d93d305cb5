#include "input/agent_counts.h"

namespace kr::collector {

void AgentCounts::add(const AgentCounts& delta) {
    records += delta.records;
    events += delta.events;
    bytes += delta.bytes;
    format_errors += delta.format_errors;
    broken += delta.broken;
    if (!delta.tls_subject.empty()) {
        tls_subject = delta.tls_subject;
    }
    if (delta.has_events) {
        if (!has_events) {
            first_event_time = delta.first_event_time;
        }
        has_events = true;
        last_event_time = delta.last_event_time;
    }
}

}  // namespace kr::collector
