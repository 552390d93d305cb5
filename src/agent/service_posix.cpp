#include <signal.h>
#include <unistd.h>

#include <cerrno>

#include "agent/service_api.h"

namespace kr::agent {
namespace {

thread_local std::uint32_t last_error_value = 0;

// No service control manager here: the process always runs from a console.
int start_dispatcher(ServiceMain) {
    last_error_value = kErrorFailedServiceControllerConnect;
    return 0;
}

ServiceStatusHandle register_handler(const char*, ControlHandler) {
    last_error_value = kErrorFailedServiceControllerConnect;
    return nullptr;
}

int set_status(ServiceStatusHandle, const ServiceStatus*) { return 1; }
std::uint32_t last_error() { return last_error_value; }

// Any non-null value: the executable is found through /proc below.
void* module_handle() { return reinterpret_cast<void*>(1); }

std::uint32_t module_file_name(void*, char* buffer, std::uint32_t size) {
    if (size == 0) return 0;
    ssize_t n = readlink("/proc/self/exe", buffer, size - 1);
    if (n <= 0) {
        last_error_value = static_cast<std::uint32_t>(errno);
        return 0;
    }
    buffer[n] = '\0';
    return static_cast<std::uint32_t>(n);
}

int change_directory(const char* path) { return chdir(path); }

}  // namespace

const char kPathSeparator = '/';
const int kHangUpSignal = SIGHUP;

// Shared objects are found by the dynamic loader's own rules.
void restrict_library_search() {}

// glibc's signal keeps the handler installed; ask for the reset explicitly.
void install_signal_handler(int signal_number, void (*handler)(int)) {
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND;
    sigaction(signal_number, &action, nullptr);
}

const ServiceApi& service_platform_api() {
    static const ServiceApi api{start_dispatcher, register_handler, set_status, last_error,
                                module_handle,    module_file_name, change_directory};
    return api;
}

}  // namespace kr::agent
