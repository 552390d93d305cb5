#pragma once
// An in-process stand-in for the ETW controller and consumer calls, used as
// the platform on Linux and installed by tests on Windows (where Wine's ETW
// is a stub). It keeps the statuses and semantics the session relies on:
// - StartTrace creates a named real-time session; a second start of the same
//   name in this process gives ERROR_ALREADY_EXISTS (183);
// - EnableTraceEx2 needs the controller handle of a started session;
// - OpenTrace opens a started session by name in real-time event-record mode
//   (else INVALID_PROCESSTRACE_HANDLE, with the reason as last error);
// - ProcessTrace blocks its thread, hands each record of the event source
//   from an enabled provider to the event callback, calls the buffer
//   callback at least every 250 ms, and returns 0 once CloseTrace is called
//   on the handle, or ERROR_CANCELLED when the buffer callback returns FALSE.
#include <memory>

#include "capture/etw_api.h"
#include "capture/event_source.h"

namespace kr::capture {

const EtwApi& trace_substitute_api();

// The source that traces opened from now on read. Null: traces see no events.
void trace_set_event_source(std::shared_ptr<EventSource> source);

// Forgets every session, trace and the event source (tests start afresh).
void trace_substitute_reset();

}  // namespace kr::capture
