#pragma once
// The run sequence's fixture: the service, module and directory calls
// scripted, the trace calls counted, a configuration file of the test's own.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "agent/agent.h"
#include "capture/etw_api.h"
#include "capture/etw_session.h"
#include "capture/tdh_api.h"
#include "config/config.h"
#include "error/error.h"
#include "fault_capture.h"
#include "log/log.h"
#include "substitute/tdh_substitute.h"
#include "substitute/trace_substitute.h"
#include "support/drain_event.h"
#include "support/empty_pcap.h"
#include "support/event_message.h"
#include "support/frames.h"
#include "support/log_capture.h"
#include "support/loopback.h"
#include "thread/crt.h"
#include "thread/thread.h"

namespace kr::agent {

using kr::error::system_error_text;
using Lines = std::vector<std::string>;
using Bytes = std::vector<std::uint8_t>;

// Scripted answers of the service, module and directory calls, recorded in order.
struct ServiceScript {
    std::mutex lock;
    std::vector<ServiceStatus> statuses;
    std::vector<std::string> directories;
    ControlHandler handler = nullptr;
    bool registration_fails = false;
    std::uint32_t error = 0;
    int module_failures_after = -1;  // module_handle fails from this call on (-1: never)
    int module_calls = 0;
    bool stop_during_startup = false;
    bool file_name_fails = false;
    std::string exe_path;
};
inline ServiceScript* svc = nullptr;

inline ServiceStatusHandle scripted_register(const char* name, ControlHandler handler) {
    EXPECT_STREQ("", name);
    svc->handler = handler;
    if (svc->registration_fails) return nullptr;
    return reinterpret_cast<ServiceStatusHandle>(0x5);
}
inline int scripted_set_status(ServiceStatusHandle handle, const ServiceStatus* status) {
    EXPECT_EQ(reinterpret_cast<ServiceStatusHandle>(svc->registration_fails ? nullptr : (void*)0x5), handle);
    std::lock_guard<std::mutex> g(svc->lock);
    svc->statuses.push_back(*status);
    return 1;
}
inline std::uint32_t scripted_last_error() { return svc->error; }
inline void* scripted_module_handle() {
    int call = svc->module_calls++;
    if (svc->module_failures_after >= 0 && call >= svc->module_failures_after) return nullptr;
    return reinterpret_cast<void*>(0x400000);
}
inline std::uint32_t scripted_file_name(void*, char* buffer, std::uint32_t size) {
    if (svc->file_name_fails) return 0;
    std::snprintf(buffer, size, "%s", svc->exe_path.c_str());
    return static_cast<std::uint32_t>(svc->exe_path.size());
}
inline int scripted_chdir(const char* path) {
    svc->directories.push_back(path);
    // A service control that arrives while the run sequence is starting up.
    if (svc->stop_during_startup && svc->handler) svc->handler(1);  // SERVICE_CONTROL_STOP
    return 0;
}
inline int scripted_dispatcher(ServiceMain) {
    svc->error = 5;
    return 0;
}

// The trace session's loss query, counted: made only for Stats lines, with
// the session's GUID as Windows asks. The first can be made to fail.
inline std::atomic<int> control_calls{0};
inline std::atomic<bool> first_query_denied{false};
inline ULONG WINAPI counted_control(TRACEHANDLE handle, LPCSTR name, PEVENT_TRACE_PROPERTIES properties, ULONG code) {
    EXPECT_EQ(0, std::memcmp(&properties->Wnode.Guid, &kr::capture::kSessionGuid, sizeof(GUID)));
    if (control_calls++ == 0 && first_query_denied) return 5;  // access denied
    return kr::substitute::trace_substitute_api().control_trace(handle, name, properties, code);
}

class RunTest : public ::testing::Test {
protected:
    void SetUp() override {
        svc = &script_;
        script_.exe_path = dir_.file("agent");
        saved_service_ = service_api();
        service_api() = ServiceApi{scripted_dispatcher,    scripted_register, scripted_set_status, scripted_last_error,
                                   scripted_module_handle, scripted_file_name, scripted_chdir};
        saved_etw_ = kr::capture::etw_api();
        kr::capture::etw_api() = kr::substitute::trace_substitute_api();
        kr::capture::etw_api().control_trace = counted_control;
        control_calls = 0;
        first_query_denied = false;
        kr::substitute::trace_substitute_reset();
        kr::config::queue_size = kr::config::kDefaultQueueSize;
        kr::config::targets.clear();
        kr::config::stats_interval = 0;
        kr::config::etw_buffers = 0;
        kr::log::log_set_stream(nullptr);
        std::filesystem::create_directories(dir_.file("log"));
        if (!stop_event) kr::thread::event_create(&stop_event, nullptr);
        drain_stop_event();
        config_path = config_file_.c_str();
    }
    void TearDown() override {
        kr::log::log_set_stream(nullptr);
        service_api() = saved_service_;
        kr::capture::etw_api() = saved_etw_;
        kr::substitute::trace_substitute_reset();
        kr::config::targets.clear();
        svc = nullptr;
    }
    // A pending stop signal left by an earlier test would end the next run at once.
    void drain_stop_event() { kr::test::drain_event(&stop_event); }
    // Every run replays an empty capture (a key the Windows build ignores),
    // so that no test opens a live capture.
    void write_config(const std::string& text) {
        kr::test::write_empty_pcap(dir_.file("empty.pcap"));
        std::ofstream(config_file_) << text << "capture file:" << dir_.file("empty.pcap") << "\n";
    }
    Lines log_lines() {
        Lines out;
        std::ifstream in(dir_.file("log/dns-logger.log"));
        std::string line;
        while (std::getline(in, line)) {
            auto pos = line.find("]: ");
            if (pos != std::string::npos) {
                out.push_back(line.substr(pos + 3));
            } else if (!out.empty()) {
                out.back() += "\n" + line;  // a message that held a line end (system texts end in CR LF)
            } else {
                out.push_back("BAD: " + line);
            }
        }
        return out;
    }
    bool wait_for_line(const std::string& line) {
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (std::chrono::steady_clock::now() < until) {
            auto lines = log_lines();
            if (std::find(lines.begin(), lines.end(), line) != lines.end()) return true;
            kr::thread::sleep_ms(5);
        }
        return false;
    }
    // Runs the sequence on its own thread; the caller stops it.
    static std::uint32_t run_thread(void*) {
        run();
        return 0;
    }

    kr::test::TempDir dir_;
    std::string config_file_ = dir_.file("agent.conf");
    ServiceScript script_;
    ServiceApi saved_service_{};
    kr::capture::EtwApi saved_etw_{};
};

// True when the expected lines appear in this order (others may come between).
inline bool in_order(const Lines& lines, const Lines& expected) {
    auto it = lines.begin();
    for (const auto& want : expected) {
        it = std::find(it, lines.end(), want);
        if (it == lines.end()) return false;
        ++it;
    }
    return true;
}

}  // namespace kr::agent
