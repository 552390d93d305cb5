#pragma once
// Process entry, service control and the run sequence.
#include <cstdint>
#include <string>
#include <vector>

#include "agent/service_api.h"
#include "config/config.h"
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
// --version, --help, --check CONFIG (settings in effect and every problem,
// status 1 on any; nothing captured, nothing sent): true with the status
// when argv[1] is one of them.
bool run_option(int argc, char** argv, int& status);
void service_main(std::uint32_t argc, char** argv);
void service_control_handler(std::uint32_t control);
int report_service_status(std::uint32_t state, std::uint32_t code, std::uint32_t specific);
void on_signal(int signal_number);

// The agent's whole life: configuration, log, start in order, wait for a
// stop request, stop and release in order. Never throws. 0 after a stop
// request; else one line on standard error and the Win32 code a service
// reports: a configuration file that cannot be read 2 (missing), 5 (denied)
// or 1610; a fatal configuration problem 1610; a log that cannot be opened 3
// (no folder) or 5; a trace session that cannot start its call's status; any
// other start-up failure, or a capture without such a status, 1066 with the
// service's own code 1.
std::uint32_t run();
// Leaves out the targets the socket layer cannot read as IPv4 ("localhost"
// would be connected to as 255.255.255.255), with a line for each.
std::vector<std::string> leave_out_non_ipv4_targets(std::vector<kr::config::Target>& targets);
// "agent: TEXT" on standard error, without a trailing line end of TEXT.
void say(const std::string& text);
// Directory of the executable, without the trailing separator ("." when the
// path has none). Throws kr::error::UnknownError.
std::string executable_directory();

}  // namespace kr::agent
