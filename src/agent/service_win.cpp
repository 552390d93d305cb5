#include <direct.h>
#include <csignal>
#include <windows.h>

#include "agent/service_api.h"

namespace kr::agent {
namespace {

static_assert(sizeof(SERVICE_STATUS) == sizeof(ServiceStatus));

ServiceMain dispatched_main = nullptr;
ControlHandler registered_handler = nullptr;

void WINAPI service_main_entry(DWORD argc, LPSTR* argv) { dispatched_main(argc, argv); }
void WINAPI handler_entry(DWORD control) { registered_handler(control); }

int start_dispatcher(ServiceMain service_main) {
    dispatched_main = service_main;
    char empty_name[] = "";
    SERVICE_TABLE_ENTRYA table[] = {{empty_name, service_main_entry}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherA(table) ? 1 : 0;
}

ServiceStatusHandle register_handler(const char* name, ControlHandler handler) {
    registered_handler = handler;
    return RegisterServiceCtrlHandlerA(name, handler_entry);
}

int set_status(ServiceStatusHandle handle, const ServiceStatus* status) {
    SERVICE_STATUS s;
    s.dwServiceType = status->service_type;
    s.dwCurrentState = status->current_state;
    s.dwControlsAccepted = status->controls_accepted;
    s.dwWin32ExitCode = status->win32_exit_code;
    s.dwServiceSpecificExitCode = status->service_specific_exit_code;
    s.dwCheckPoint = status->check_point;
    s.dwWaitHint = status->wait_hint;
    return SetServiceStatus(static_cast<SERVICE_STATUS_HANDLE>(handle), &s) ? 1 : 0;
}

std::uint32_t last_error() { return GetLastError(); }
void* module_handle() { return GetModuleHandleA(nullptr); }
std::uint32_t module_file_name(void* module, char* buffer, std::uint32_t size) {
    return GetModuleFileNameA(static_cast<HMODULE>(module), buffer, size);
}
int change_directory(const char* path) { return _chdir(path); }

}  // namespace

const char kPathSeparator = '\\';
const int kHangUpSignal = 0;

void restrict_library_search() { SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32); }

// The C runtime's signal already resets the action before calling the handler.
void install_signal_handler(int signal_number, void (*handler)(int)) { std::signal(signal_number, handler); }

const ServiceApi& service_platform_api() {
    static const ServiceApi api{start_dispatcher, register_handler, set_status, last_error,
                                module_handle,    module_file_name, change_directory};
    return api;
}

}  // namespace kr::agent
