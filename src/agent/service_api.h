#pragma once
// Seam over the service control manager, module and process calls of the
// process entry and the run sequence. On Windows the defaults are the system
// functions; elsewhere a substitute: there is no service control manager, so
// the dispatcher fails at once with 1063 and the agent runs as a console
// process. Tests replace entries to script answers.
#include <cstdint>

namespace kr::agent {

// Laid out as SERVICE_STATUS (seven 32-bit fields).
struct ServiceStatus {
    std::uint32_t service_type;
    std::uint32_t current_state;
    std::uint32_t controls_accepted;
    std::uint32_t win32_exit_code;
    std::uint32_t service_specific_exit_code;
    std::uint32_t check_point;
    std::uint32_t wait_hint;
};
static_assert(sizeof(ServiceStatus) == 28, "ServiceStatus must have the layout of SERVICE_STATUS");

using ServiceStatusHandle = void*;
using ServiceMain = void (*)(std::uint32_t argc, char** argv);
using ControlHandler = void (*)(std::uint32_t control);

constexpr std::uint32_t kServiceWin32OwnProcess = 0x10;
constexpr std::uint32_t kServiceStopped = 1;
constexpr std::uint32_t kServiceStopPending = 3;
constexpr std::uint32_t kServiceRunning = 4;
constexpr std::uint32_t kControlsAccepted = 5;  // stop | shutdown
constexpr std::uint32_t kWaitHintMs = 10000;
constexpr std::uint32_t kControlStop = 1;
constexpr std::uint32_t kControlInterrogate = 4;
constexpr std::uint32_t kControlShutdown = 5;
constexpr std::uint32_t kErrorFileNotFound = 2;
constexpr std::uint32_t kErrorPathNotFound = 3;
constexpr std::uint32_t kErrorAccessDenied = 5;
constexpr std::uint32_t kErrorBadConfiguration = 1610;
constexpr std::uint32_t kErrorServiceSpecific = 1066;
constexpr std::uint32_t kErrorFailedServiceControllerConnect = 1063;

struct ServiceApi {
    // StartServiceCtrlDispatcherA with the table {"" -> service_main}: non-zero on success.
    int (*start_dispatcher)(ServiceMain service_main);
    // RegisterServiceCtrlHandlerA(name, handler): null on failure.
    ServiceStatusHandle (*register_handler)(const char* name, ControlHandler handler);
    int (*set_status)(ServiceStatusHandle handle, const ServiceStatus* status);
    std::uint32_t (*last_error)();
    // GetModuleHandleA(null): null on failure.
    void* (*module_handle)();
    // GetModuleFileNameA: the length written, 0 on failure.
    std::uint32_t (*module_file_name)(void* module, char* buffer, std::uint32_t size);
    int (*change_directory)(const char* path);
};

ServiceApi& service_api();
const ServiceApi& service_platform_api();

// The separator between the executable's directory and its name.
extern const char kPathSeparator;

// Windows: libraries loaded at run time come from System32 only, never from
// the executable's folder, the current directory or the path. Elsewhere nothing.
void restrict_library_search();

// SIGHUP where the platform has it (a closed terminal or session), else 0:
// like SIGTERM and SIGINT, a request for the orderly stop.
extern const int kHangUpSignal;

// Installs a handler for one signal with the C runtime's rule that the action
// reverts to the default once the handler has run, so that a second
// interrupt ends a process that does not stop.
void install_signal_handler(int signal_number, void (*handler)(int));

}  // namespace kr::agent
