#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "agent/agent.h"
#include "error/error.h"

namespace kr::agent {

const char* config_path = nullptr;
ServiceStatusHandle service_status_handle = nullptr;

namespace {

void send_status(std::uint32_t state, std::uint32_t exit_code, std::uint32_t specific) {
    ServiceStatus status{kServiceWin32OwnProcess, state, kControlsAccepted, exit_code, specific, 0, kWaitHintMs};
    service_api().set_status(service_status_handle, &status);
}

}  // namespace

void usage() {
    std::fprintf(stderr, "usage: agent <config-file>\n");
    std::exit(-1);
}

int agent_main(int argc, char** argv) {
    if (argc <= 1) usage();
    int status = 0;
    if (run_option(argc, argv, status)) return status;
    config_path = argv[1];
    // Made before the dispatcher starts, so that a stop control that comes
    // before the run sequence is waiting stays pending in the event.
    if (!stop_event) kr::thread::event_create(&stop_event, nullptr);
    if (service_api().start_dispatcher(service_main)) return 0;
    std::uint32_t error = service_api().last_error();
    if (error == kErrorFailedServiceControllerConnect) return run() == 0 ? 0 : 1;
    kr::error::throw_failure<kr::error::UnknownError>("StartServiceCtrlDispatcher()",
                                                      static_cast<std::int32_t>(error));
}

void service_main(std::uint32_t, char**) {
    service_status_handle = service_api().register_handler("", service_control_handler);
    if (!service_status_handle) {
        report_service_status(kServiceStopped, service_api().last_error(), 0);
        return;
    }
    send_status(kServiceRunning, 0, 0);
    const std::uint32_t code = run();
    // 1066 carries the agent's own code: its log (or standard error) says what failed.
    send_status(kServiceStopped, code, code == kErrorServiceSpecific ? 1 : 0);
}

void service_control_handler(std::uint32_t control) {
    if (control != kControlStop && control != kControlShutdown) return;
    send_status(kServiceStopPending, 0, 0);
    kr::thread::event_signal(&stop_event);
}

int report_service_status(std::uint32_t state, std::uint32_t code, std::uint32_t specific) {
    send_status(state, specific != 0 ? kErrorServiceSpecific : code, specific);
    return 0;
}

void on_signal(int signal_number) {
    if (signal_number == SIGINT || signal_number == SIGTERM || (kHangUpSignal != 0 && signal_number == kHangUpSignal)) {
        kr::thread::event_signal(&stop_event);
    }
}

}  // namespace kr::agent
