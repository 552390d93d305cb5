#include "capture/etw_api.h"

namespace kr::capture {
namespace {
DWORD platform_last_error() { return GetLastError(); }
}  // namespace

const EtwApi& etw_platform_api() {
    static const EtwApi api{StartTraceA, EnableTraceEx2, OpenTraceA, ProcessTrace, CloseTrace, ControlTraceA,
                                 platform_last_error};
    return api;
}

}  // namespace kr::capture
