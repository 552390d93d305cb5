#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "agent/agent.h"
#include "agent/capture_setup.h"
#include "config/config.h"
#include "config/config_error.h"
#include "config/problems.h"
#include "transport/net_api.h"

namespace kr::agent {
namespace {

constexpr char kHelp[] =
    "usage: agent <config-file>          run with this configuration (as a service, or until\n"
    "                                    SIGTERM, SIGINT or SIGHUP)\n"
    "       agent --check <config-file>  print the settings in effect, and on standard error every\n"
    "                                    problem of the file; status 1 on any, nothing captured or sent\n"
    "       agent --version              print the version\n"
    "       agent --help                 print this text\n";

void print_settings(const kr::config::Config& config) {
    using namespace kr::config;
    std::printf("queue-size %u\n", queue_size);
    for (const Target& t : targets) std::printf("target %s:%u %u\n", t.ip.c_str(), t.port, t.timeout);
    const char* logging = config.get("logging");
    const bool logging_on = logging != nullptr && std::strcmp(logging, "on") == 0;
    std::printf("logging %s\n", logging_on ? "on" : "off");
    const char* log_file = config.get("log-file");
    if (logging_on && log_file != nullptr) std::printf("log-file %s\n", log_file);
    std::printf("send-batch %u\nstats-interval %u\nipv4-clients-only %s\netw-buffers %u\n", send_batch, stats_interval,
                ipv4_clients_only ? "on" : "off", etw_buffers);
    std::printf("tls %s\n", tls.on ? "on" : "off");
    const std::pair<const char*, const std::string*> paths[] = {{"tls-ca", &tls.ca},
                                                                 {"tls-name", &tls.name},
                                                                 {"tls-cert", &tls.cert},
                                                                 {"tls-key", &tls.key},
                                                                 {"tls-cert-thumbprint", &tls.thumbprint}};
    for (const auto& [key, value] : paths) {
        if (tls.on && !value->empty()) std::printf("%s %s\n", key, value->c_str());
    }
    std::fputs(capture_config().c_str(), stdout);
}

// What a run would take from the file, without capturing or connecting.
int check(const char* path) {
    kr::config::Config config;
    try {
        config.load(path);
    } catch (const kr::config::ConfigError& e) {
        say(std::string("cannot read the configuration file: ") + e.what());
        return 1;
    }
    kr::config::read_settings(config);
    configure_capture(config);
    kr::transport::net_startup();  // the socket layer reads the targets' addresses
    const std::vector<std::string> left_out = leave_out_non_ipv4_targets(kr::config::targets);
    print_settings(config);
    std::fflush(stdout);
    for (const auto& problem : kr::config::problems) say(kr::config::problem_line(problem));
    for (const std::string& text : left_out) say(text);
    return kr::config::problems.empty() && left_out.empty() ? 0 : 1;
}

}  // namespace

bool run_option(int argc, char** argv, int& status) {
    const std::string option = argv[1];
    status = 0;
    if (option == "--version") {
        std::printf("agent version %s\n", kVersion);
    } else if (option == "--help") {
        std::fputs(kHelp, stdout);
    } else if (option == "--check") {
        if (argc <= 2) usage();
        status = check(argv[2]);
    } else {
        return false;
    }
    return true;
}

}  // namespace kr::agent
