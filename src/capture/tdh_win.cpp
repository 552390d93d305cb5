#include "capture/tdh_api.h"

namespace kr::capture {
namespace {

// tdh.dll is not one of the system's known DLLs: imported statically, it would
// be searched for beside agent.exe first, where a copy placed by anyone who can
// write there runs as the service's account. Loaded from System32 only.
HMODULE tdh_module() {
    static const HMODULE module = LoadLibraryExA("tdh.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    return module;
}

ULONG missing_status() { return tdh_module() ? ERROR_PROC_NOT_FOUND : ERROR_MOD_NOT_FOUND; }

// Without the library each call fails with the loader's status, so that every
// event is dropped with its own "ERROR - " line as for any other TDH failure.
ULONG WINAPI missing_event_information(PEVENT_RECORD, ULONG, PTDH_CONTEXT, PTRACE_EVENT_INFO, ULONG*) {
    return missing_status();
}
ULONG WINAPI missing_property_size(PEVENT_RECORD, ULONG, PTDH_CONTEXT, ULONG, PPROPERTY_DATA_DESCRIPTOR, ULONG*) {
    return missing_status();
}
ULONG WINAPI missing_property(PEVENT_RECORD, ULONG, PTDH_CONTEXT, ULONG, PPROPERTY_DATA_DESCRIPTOR, ULONG, PBYTE) {
    return missing_status();
}

template <class Function>
Function entry(const char* name, Function missing) {
    const HMODULE module = tdh_module();
    const FARPROC found = module ? GetProcAddress(module, name) : nullptr;
    // Through void (*)(), the one function type every other converts from without a warning.
    return found ? reinterpret_cast<Function>(reinterpret_cast<void (*)()>(found)) : missing;
}

}  // namespace

const TdhApi& tdh_platform_api() {
    static const TdhApi api{entry("TdhGetEventInformation", missing_event_information),
                            entry("TdhGetPropertySize", missing_property_size),
                            entry("TdhGetProperty", missing_property)};
    return api;
}

}  // namespace kr::capture
