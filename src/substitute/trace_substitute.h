#pragma once
// An in-process stand-in for the ETW controller and consumer calls, used as
// the platform on Linux and installed by tests on Windows (where Wine's ETW
// is a stub). It keeps the statuses and semantics the session relies on:
// - StartTrace creates a named real-time session; a second start of the same
//   name in this process gives ERROR_ALREADY_EXISTS (183);
// - EnableTraceEx2 needs the controller handle of a started session;
// - OpenTrace opens a session by name in real-time event-record mode (else
//   INVALID_PROCESSTRACE_HANDLE, with the reason as last error), whether or
//   not the session exists;
// - ProcessTrace fails with ERROR_WMI_INSTANCE_NOT_FOUND when the session
//   does not exist; else it blocks its thread, hands each record of the
//   event source from an enabled provider to the event callback, and calls
//   the buffer callback after every 4096 events, whenever the source has no
//   more records at once, and at least every 250 ms.
//   It returns ERROR_CANCELLED whenever the buffer callback returns FALSE,
//   and 0 once the trace is closed and the records that arrived before the
//   close are delivered (the buffer callback follows the last of them);
// - CloseTrace during ProcessTrace returns ERROR_CTX_CLOSE_PENDING;
// - ControlTrace only queries (else ERROR_INVALID_PARAMETER), by name or
//   controller handle: the buffers StartTrace asked for (64 of 64 KB where
//   it left them 0), EventsLost as the session's event source counts them
//   (a FeedSource holds no more than the buffers and loses what finds no
//   room while the consumer stalls), RealTimeBuffersLost always 0;
//   ERROR_WMI_INSTANCE_NOT_FOUND without such a session.
#include <memory>
#include <string>

#include "capture/etw_api.h"
#include "substitute/event_source.h"

namespace kr::substitute {

const capture::EtwApi& trace_substitute_api();

// The source that traces opened from now on read. Null: traces see no events.
void trace_set_event_source(std::shared_ptr<EventSource> source);

// Adds a session as an earlier process leaves it on Windows: running, with
// the provider enabled, so that StartTrace of its name gives 183.
void trace_substitute_add_session(const std::string& name, const GUID& provider);

// Forgets every session, trace and the event source (tests start afresh).
void trace_substitute_reset();

}  // namespace kr::substitute
