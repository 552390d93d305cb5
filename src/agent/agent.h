#pragma once
// Process entry, service control and the run sequence.
#include <cstdint>
#include <string>

#include "agent/service_api.h"
#include "thread/thread.h"

namespace kr::agent {

extern const char kVersion[];  // "3.6.8"

// Process-wide, set once and never freed.
extern const char* config_path;
extern ServiceStatusHandle service_status_handle;
extern kr::thread::Event stop_event;
extern kr::thread::Mutex stop_mutex;

// The program: checks the command line, runs as a service when started by
// the service control manager, else runs the sequence on this thread. 0, or
// 1 from a console run whose configuration file cannot be read.
int agent_main(int argc, char** argv);
// The usage line on standard error, then exit status -1.
[[noreturn]] void usage();
void service_main(std::uint32_t argc, char** argv);
void service_control_handler(std::uint32_t control);
int report_service_status(std::uint32_t state, std::uint32_t code, std::uint32_t specific);
void on_signal(int signal_number);

// The agent's whole life: configuration, log, start in order, wait for a
// stop request, stop and release in order. Never throws. 0, or when the
// configuration file cannot be read (one line on standard error) the Win32
// code a service reports for it: 2 missing, 5 denied, 1610 otherwise.
std::uint32_t run();
// Directory of the executable, without the trailing separator ("." when the
// path has none). Throws kr::error::UnknownError.
std::string executable_directory();

}  // namespace kr::agent
