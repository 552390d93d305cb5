// service_query <name>: prints the service's status as the service manager
// holds it, "type state controls-accepted win32-exit specific-exit check-point
// wait-hint" in decimal. The Linux-side service tests run it under Wine, whose
// sc query leaves out the controls accepted. Exit status 1 when the status
// cannot be read, 2 on a wrong command line.
#include <windows.h>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: service_query <service-name>\n");
        return 2;
    }
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? OpenServiceA(manager, argv[1], SERVICE_QUERY_STATUS) : nullptr;
    SERVICE_STATUS s{};
    const bool ok = service && QueryServiceStatus(service, &s);
    const DWORD error = GetLastError();
    if (service) CloseServiceHandle(service);
    if (manager) CloseServiceHandle(manager);
    if (!ok) {
        std::fprintf(stderr, "service_query %s failed: %lu\n", argv[1], error);
        return 1;
    }
    std::printf("%lu %lu %lu %lu %lu %lu %lu\n", s.dwServiceType, s.dwCurrentState, s.dwControlsAccepted,
                s.dwWin32ExitCode, s.dwServiceSpecificExitCode, s.dwCheckPoint, s.dwWaitHint);
    return 0;
}
