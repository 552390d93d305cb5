#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "agent/agent.h"
#include "agent/capture_setup.h"
#include "agent/stats.h"
#include "capture/etw_session.h"
#include "config/config.h"
#include "config/config_error.h"
#include "config/problems.h"
#include "error/error.h"
#include "forward/sensor_queue.h"
#include "forward/sensor_queue_processor.h"
#include "log/log.h"
#include "transport/net_api.h"
#include "transport/tls_channel.h"

namespace kr::agent {

const char kVersion[] = "3.6.8";
kr::thread::Event stop_event = nullptr;
kr::thread::Mutex stop_mutex = nullptr;

namespace {

using kr::log::log_print;

constexpr char kLogSuffix[] = "/log/dns-logger.log";
// Room for the messages of one buffer of events between two stores into the queue.
constexpr std::uint32_t kBatchSize = 256 * 1024;

// What run builds, released in reverse order on every path. The forwarder is
// always stopped before the queue is destroyed.
struct Pipeline {
    // First, so that it outlives every part that counts into it.
    std::unique_ptr<PipelineCounters> counters;
    std::unique_ptr<kr::config::Config> config;
    std::unique_ptr<kr::capture::EtwSessionHolder> holder;
    std::unique_ptr<kr::forward::SensorQueue> queue;
    // The session thread's messages, stored into the queue once per buffer of events.
    std::unique_ptr<kr::forward::QueueBatch> batch;
    std::unique_ptr<kr::transport::TlsContext> tls;  // with tls on; outlives the sender that uses it
    std::unique_ptr<kr::forward::SensorQueueProcessor> forwarder;

    void stop_forwarder() {
        if (forwarder) kr::forward::stop(*forwarder);
    }

    // Releases in order: forwarder (stopped first), queue, holder, store.
    // The batch goes with the holder, whose session may still write into it.
    void release() {
        if (forwarder) {
            kr::forward::stop(*forwarder);
            kr::forward::release(*forwarder);
            forwarder.reset();
        }
        if (queue) {
            kr::forward::destroy(*queue);
            queue.reset();
        }
        tls.reset();
        holder.reset();  // a holder still running stops its session here
        if (batch) {
            kr::forward::destroy(*batch);
            batch.reset();
        }
        config.reset();
    }

    ~Pipeline() { release(); }
};

// A start-up that ends the run with a Win32 exit code, and its line on
// standard error when it has one (a configuration problem has said its own).
class RunRefused : public std::runtime_error {
public:
    RunRefused(std::uint32_t code, const std::string& line) : std::runtime_error(line), code(code) {}
    std::uint32_t code;
};

// TLS settings that cannot be used end the run: neither plaintext instead nor
// a passphrase prompt is an answer.
struct TlsStartFailure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The service exit code for a configuration file that could not be read.
std::uint32_t config_failure_code(int open_errno) {
    if (open_errno == ENOENT || open_errno == ENOTDIR) return kErrorFileNotFound;
    if (open_errno == EACCES || open_errno == EISDIR) return kErrorAccessDenied;
    return kErrorBadConfiguration;
}

std::uint32_t log_failure_code(int open_errno) {
    if (open_errno == ENOENT || open_errno == ENOTDIR) return kErrorPathNotFound;
    if (open_errno == EACCES || open_errno == EROFS || open_errno == EISDIR) return kErrorAccessDenied;
    return kErrorServiceSpecific;
}

// `log-file PATH` ("-": standard error) or the file beside the executable. A log
// asked for that cannot be opened ends the run: the operator would see nothing.
void open_log(const char* file) {
    const std::string path = file ? file : executable_directory() + kLogSuffix;
    if (!kr::log::log_open(path.c_str())) {
        const int code = errno;
        throw RunRefused(log_failure_code(code),
                         "cannot open the log file: " + kr::error::crt_failure_text("fopen(" + path + ")", code));
    }
}

// The session thread's word that it failed: a capture that cannot start ends the run.
void on_capture_failure(kr::capture::SessionStep step, void*) {
    if (capture_failure_ends_run(step)) kr::thread::event_signal(&stop_event);
}

void start(Pipeline& p) {
    p.config = std::make_unique<kr::config::Config>();
    log_print("Reading config from %s", config_path);
    p.config->load(config_path);
    kr::config::read_settings(*p.config);
    configure_capture(*p.config);
    for (const auto& problem : kr::config::problems) say(kr::config::problem_line(problem));
    const char* logging = p.config->get("logging");
    if (logging && std::strcmp(logging, "on") == 0) {
        open_log(p.config->get("log-file"));
    }
    log_print("agent version %s", kVersion);
    for (const auto& problem : kr::config::problems) {
        log_print("ERROR - %s", kr::config::problem_line(problem).c_str());
    }
    // Never plaintext by accident: TLS asked for unclearly sends nothing.
    if (kr::config::has_fatal_problem()) throw RunRefused(kErrorBadConfiguration, "");
    log_print("Changing directory to: %s", executable_directory().c_str());
    service_api().change_directory(executable_directory().c_str());
    log_print("Starting...");
    // Before the targets are checked: the socket layer reads their addresses.
    kr::transport::net_startup();
    for (const std::string& text : leave_out_non_ipv4_targets(kr::config::targets)) {
        log_print("ERROR - %s", text.c_str());
        say(text);
    }
    // Counted only while the line is wanted: with stats off nothing is counted.
    if (kr::config::stats_interval != 0) p.counters = std::make_unique<PipelineCounters>(kr::config::targets.size());
    p.holder = std::make_unique<kr::capture::EtwSessionHolder>();
    p.holder->clear();
    p.holder->counters = p.counters ? &p.counters->decoder : nullptr;
    p.holder->ipv4_clients_only = kr::config::ipv4_clients_only;
    p.holder->buffers = kr::capture::session_buffers(kr::config::etw_buffers);
    p.holder->on_failure = on_capture_failure;
    p.queue = std::make_unique<kr::forward::SensorQueue>();
    kr::forward::create(*p.queue, kr::config::queue_size);
    p.queue->counters = p.counters ? &p.counters->queue : nullptr;
    p.batch = std::make_unique<kr::forward::QueueBatch>();
    kr::forward::create(*p.batch, p.queue.get(), kBatchSize);
    // The size in use, so that a mistyped queue-size shows.
    log_print("Sensor queue size: %u bytes", static_cast<unsigned>(kr::config::queue_size));
    p.forwarder = std::make_unique<kr::forward::SensorQueueProcessor>();
    kr::forward::init(*p.forwarder, p.queue.get(), &kr::config::targets);
    p.forwarder->send_batch = kr::config::send_batch;
    p.forwarder->counters = p.counters ? &p.counters->sender : nullptr;
    if (kr::config::tls.on) {
        // Once per run: every connection uses what was read here.
        std::string warning;
        try {
            p.tls = kr::transport::make_tls_context(kr::config::tls, warning);
        } catch (const std::exception& e) {
            throw TlsStartFailure(e.what());
        }
        if (!warning.empty()) log_print("WARNING - %s", warning.c_str());
        p.forwarder->tls = p.tls.get();
    }
    log_print("Starting sensor queue processor");
    kr::forward::start(*p.forwarder);
    p.holder->set_callback(kr::forward::batch_message, p.batch.get());
    p.holder->set_buffer_end(kr::forward::flush_batch, p.batch.get());
    log_print("Starting ETW session");
    p.holder->start();
    log_print("Started!");
}

void log_stats(const Pipeline& p) {
    if (!p.counters) return;
    read_trace_losses(*p.counters);
    log_print("%s", stats_line(*p.counters, p.queue->capacity).c_str());
}

// Waits for a stop request; with stats on, logs the line at every interval
// meanwhile (never while holding stop_mutex).
void wait_for_stop(const Pipeline& p) {
    kr::thread::mutex_lock(&stop_mutex);
    if (!p.counters) {
        kr::thread::event_wait(&stop_event, &stop_mutex);
    } else {
        while (kr::thread::event_wait_for(&stop_event, &stop_mutex, kr::config::stats_interval * 1000u) == 1) {
            kr::thread::mutex_unlock(&stop_mutex);
            log_stats(p);
            kr::thread::mutex_lock(&stop_mutex);
        }
    }
    kr::thread::mutex_unlock(&stop_mutex);
}

}  // namespace

std::uint32_t run() {
    // The process entry may have made the stop event already, so that an
    // early stop request is kept; make it only when it is missing.
    if (!stop_event) kr::thread::event_create(&stop_event, nullptr);
    if (!stop_mutex) kr::thread::mutex_create(&stop_mutex, nullptr);
    Pipeline pipeline;
    try {
        start(pipeline);
    } catch (const RunRefused& e) {
        pipeline.release();
        if (*e.what() != '\0') say(e.what());
        return e.code;
    } catch (const kr::config::ConfigError& e) {
        // The log's switch is in that file: only the console and the exit code can say it.
        pipeline.release();
        std::fprintf(stderr, "agent: cannot read the configuration file: %s\n", e.what());
        return config_failure_code(e.open_errno());
    } catch (const TlsStartFailure& e) {
        pipeline.release();
        log_print("ERROR - Run failure: %s", e.what());
        std::fprintf(stderr, "agent: %s\n", e.what());
        return kErrorBadConfiguration;
    } catch (const std::exception& e) {
        pipeline.release();
        log_print("ERROR - Run failure: %s", e.what());
        say(std::string("run failure: ") + e.what());
        return kErrorServiceSpecific;
    }
    install_signal_handler(SIGTERM, on_signal);
    install_signal_handler(SIGINT, on_signal);
    if (kHangUpSignal != 0) install_signal_handler(kHangUpSignal, on_signal);
    wait_for_stop(pipeline);
    log_print("Stopping...");
    log_print("Stopping all sessions");
    pipeline.holder->stop();
    log_print("Stopping sensor queue processor");
    pipeline.stop_forwarder();
    log_stats(pipeline);
    log_print("Stopped!");
    const std::optional<kr::capture::SessionFailure> failure = pipeline.holder->failure;
    pipeline.release();
    if (failure && capture_failure_ends_run(failure->step)) {
        say("capture failed: " + failure->text);
        return failure->status != 0 ? failure->status : kErrorServiceSpecific;
    }
    return 0;
}

std::vector<std::string> leave_out_non_ipv4_targets(std::vector<kr::config::Target>& targets) {
    std::vector<kr::config::Target> kept;
    std::vector<std::string> left_out;
    for (kr::config::Target& t : targets) {
        if (kr::transport::net_api().inet_addr(t.ip.c_str()) == 0xFFFFFFFFu && t.ip != "255.255.255.255") {
            left_out.push_back("Target " + t.ip + ":" + std::to_string(t.port) + " left out: not an IPv4 address");
        } else {
            kept.push_back(std::move(t));
        }
    }
    targets.swap(kept);
    return left_out;
}

void say(const std::string& text) {
    std::string line = text;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    std::fprintf(stderr, "agent: %s\n", line.c_str());
}

std::string executable_directory() {
    const ServiceApi& api = service_api();
    void* module = api.module_handle();
    if (!module) {
        kr::error::throw_failure<kr::error::UnknownError>("GetModuleHandle()",
                                                          static_cast<std::int32_t>(api.last_error()));
    }
    std::unique_ptr<char[]> path(new char[8192]());
    if (api.module_file_name(module, path.get(), 8192) == 0) {
        kr::error::throw_failure<kr::error::UnknownError>("GetModuleFileName()",
                                                          static_cast<std::int32_t>(api.last_error()));
    }
    std::string text(path.get());
    std::size_t last = text.rfind(kPathSeparator);
    if (last == std::string::npos) return ".";
    return text.substr(0, last);
}

}  // namespace kr::agent
