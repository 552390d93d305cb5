#pragma once
// The session tests' fixture: every trace call recorded and answered by the
// trace substitute unless a test scripts another status.
#include "capture/etw_session.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "capture/etw_api.h"
#include "capture/tdh_api.h"
#include "error/error.h"
#include "forward/sensor_queue.h"
#include "substitute/event_builder.h"
#include "substitute/tdh_substitute.h"
#include "substitute/trace_substitute.h"
#include "support/log_capture.h"
#include "thread/crt.h"
#include "thread/thread.h"

namespace kr::capture {
using kr::substitute::DnsEventBuilder;
using kr::substitute::EventRecordBuilder;
using kr::substitute::FeedSource;
using kr::substitute::tdh_substitute_api;
using kr::substitute::trace_set_event_source;
using kr::substitute::trace_substitute_api;
using kr::substitute::trace_substitute_reset;

using kr::error::system_error_text;
using Lines = std::vector<std::string>;

inline std::string status_text(ULONG status) { return system_error_text(kr::error::windows_error_code(status)); }

// Records every trace call and lets a test replace a status; everything not
// scripted is answered by the trace substitute.
struct Script {
    std::mutex lock;
    std::vector<std::string> calls;
    ULONG start_status = ~0u;  // ~0: let the substitute answer
    ULONG enable_status = ~0u;
    ULONG process_status = ~0u;
    bool open_fails = false;
    DWORD open_error = 0;
    bool start_waits_for_close = false;
    bool process_waits_for_close = false;
    std::vector<TRACEHANDLE> closed_handles;
    std::vector<std::uint8_t> properties;  // copy of the block given to StartTrace

    void record(const std::string& call) {
        std::lock_guard<std::mutex> g(lock);
        calls.push_back(call);
    }
    std::vector<std::string> snapshot() {
        std::lock_guard<std::mutex> g(lock);
        return calls;
    }
    bool called(const std::string& call) {
        auto all = snapshot();
        return std::find(all.begin(), all.end(), call) != all.end();
    }
};

inline Script* script = nullptr;

template <class Pred>
bool eventually(Pred pred, int ms = 5000) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > until) return false;
        kr::thread::sleep_ms(2);
    }
    return true;
}

inline ULONG WINAPI scripted_start(PTRACEHANDLE handle, LPCSTR name, PEVENT_TRACE_PROPERTIES properties) {
    script->record("StartTrace");
    EXPECT_STREQ("tarsel-agent", name);
    {
        auto* bytes = reinterpret_cast<const std::uint8_t*>(properties);
        std::lock_guard<std::mutex> g(script->lock);
        script->properties.assign(bytes, bytes + properties->Wnode.BufferSize);
    }
    if (script->start_waits_for_close) eventually([] { return script->called("CloseTrace"); });
    if (script->start_status != ~0u) return script->start_status;
    return trace_substitute_api().start_trace(handle, name, properties);
}

inline ULONG WINAPI scripted_enable(TRACEHANDLE handle, LPCGUID provider, ULONG code, UCHAR level, ULONGLONG any,
                             ULONGLONG all, ULONG timeout, PENABLE_TRACE_PARAMETERS parameters) {
    script->record("EnableTraceEx2");
    EXPECT_EQ(0, std::memcmp(provider, &kDnsServerProviderGuid, sizeof(GUID)));
    EXPECT_EQ(1u, code);
    EXPECT_EQ(4u, level);
    EXPECT_EQ(0u, any);
    EXPECT_EQ(0u, all);
    EXPECT_EQ(0u, timeout);
    EXPECT_EQ(nullptr, parameters);
    if (script->enable_status != ~0u) return script->enable_status;
    return trace_substitute_api().enable_trace_ex2(handle, provider, code, level, any, all, timeout, parameters);
}

inline DWORD scripted_error = 0;

inline TRACEHANDLE WINAPI scripted_open(PEVENT_TRACE_LOGFILEA logfile) {
    script->record("OpenTrace");
    EXPECT_STREQ("tarsel-agent", logfile->LoggerName);
    EXPECT_EQ(nullptr, logfile->LogFileName);
    EXPECT_EQ(0x10000100u, logfile->ProcessTraceMode);
    if (script->open_fails) {
        scripted_error = script->open_error;
        return INVALID_PROCESSTRACE_HANDLE;
    }
    return trace_substitute_api().open_trace(logfile);
}

inline DWORD scripted_last_error() { return script->open_fails ? scripted_error : trace_substitute_api().last_error(); }

inline ULONG WINAPI scripted_process(PTRACEHANDLE handles, ULONG count, LPFILETIME start, LPFILETIME end) {
    script->record("ProcessTrace");
    EXPECT_EQ(1u, count);
    EXPECT_EQ(nullptr, start);
    EXPECT_EQ(nullptr, end);
    if (script->process_waits_for_close) eventually([] { return script->called("CloseTrace"); });
    if (script->process_status != ~0u) return script->process_status;
    return trace_substitute_api().process_trace(handles, count, start, end);
}

inline ULONG WINAPI scripted_close(TRACEHANDLE handle) {
    script->record("CloseTrace");
    {
        std::lock_guard<std::mutex> g(script->lock);
        script->closed_handles.push_back(handle);
    }
    return trace_substitute_api().close_trace(handle);
}

inline ULONG WINAPI scripted_control(TRACEHANDLE handle, LPCSTR name, PEVENT_TRACE_PROPERTIES properties, ULONG code) {
    script->record("ControlTrace");
    return trace_substitute_api().control_trace(handle, name, properties, code);
}

class EtwSessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        script = &script_;
        saved_ = etw_api();
        saved_tdh_ = tdh_api();
        tdh_api() = tdh_substitute_api();
        trace_substitute_reset();
        etw_api() = EtwApi{scripted_start, scripted_enable, scripted_open,      scripted_process,
                           scripted_close, scripted_control, scripted_last_error};
    }
    void TearDown() override {
        holder_.stop();
        etw_api() = saved_;
        tdh_api() = saved_tdh_;
        trace_substitute_reset();
        script = nullptr;
    }
    bool logged(const std::string& line) {
        return eventually([&] {
            auto m = log_.messages();
            return std::find(m.begin(), m.end(), line) != m.end();
        });
    }
    std::string failed(const std::string& what) { return "ERROR - ETW session failed: " + what; }
    // The loop ends with status once the stop has closed the trace.
    void expect_normal_end_of_a_stop(ULONG status) {
        script_.process_status = status;
        script_.process_waits_for_close = true;
        holder_.start();
        ASSERT_TRUE(logged("Entering ETW trace processing loop..."));
        holder_.stop();
        EXPECT_EQ((Lines{"Starting ETW trace...", "Enable DNS server provider for ETW trace...", "Opening ETW trace...",
                         "Entering ETW trace processing loop...", "Closing ETW trace...", "Closing ETW trace...",
                         "ETW session finished"}),
                  log_.messages());
    }

    Script script_;
    EtwApi saved_{};
    TdhApi saved_tdh_{};
    kr::test::LogCapture log_;
    EtwSessionHolder holder_;
};

}  // namespace kr::capture
