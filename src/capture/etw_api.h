#pragma once
// Seam over the ETW controller and consumer calls the trace session makes.
// On Windows the defaults are the system's functions; elsewhere they are the
// in-process trace substitute (trace_substitute.h). Tests replace entries to
// script statuses and record the order of calls.
#include "capture/etw_types.h"

namespace kr::capture {

struct EtwApi {
    ULONG(WINAPI* start_trace)(PTRACEHANDLE handle, LPCSTR name, PEVENT_TRACE_PROPERTIES properties);
    ULONG(WINAPI* enable_trace_ex2)(TRACEHANDLE handle, LPCGUID provider, ULONG control_code, UCHAR level,
                                    ULONGLONG match_any, ULONGLONG match_all, ULONG timeout,
                                    PENABLE_TRACE_PARAMETERS parameters);
    TRACEHANDLE(WINAPI* open_trace)(PEVENT_TRACE_LOGFILEA logfile);
    ULONG(WINAPI* process_trace)(PTRACEHANDLE handles, ULONG count, LPFILETIME start, LPFILETIME end);
    ULONG(WINAPI* close_trace)(TRACEHANDLE handle);
    // Only ever asked to query (EVENT_TRACE_CONTROL_QUERY), and only for the Stats line.
    ULONG(WINAPI* control_trace)(TRACEHANDLE handle, LPCSTR name, PEVENT_TRACE_PROPERTIES properties,
                                 ULONG control_code);
    // The calling thread's last error, read after a failed open_trace.
    DWORD (*last_error)();
};

EtwApi& etw_api();
const EtwApi& etw_platform_api();

}  // namespace kr::capture
