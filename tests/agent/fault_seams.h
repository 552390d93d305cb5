#pragma once
// The seams that make one allocation, socket call or trace call of a whole
// in-process agent run fail, the traffic of a run and what a failure must
// lead to. Only fault_injection_test.cpp includes it: its names stay in that
// file's anonymous namespace.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "agent/agent.h"
#include "capture/etw_api.h"
#include "capture/tdh_api.h"
#include "config/config.h"
#include "error/error.h"
#include "fault_capture.h"
#include "log/log.h"
#include "substitute/tdh_substitute.h"
#include "substitute/trace_substitute.h"
#include "support/drain_event.h"
#include "support/frames.h"
#include "support/log_capture.h"
#include "support/loopback.h"
#include "thread/crt.h"
#include "thread/thread.h"
#include "transport/net_api.h"

// After an injected failure the thread's next allocation changes errno and
// the pending socket error, as a real heap may change both: a failure text
// built before its error number was read then names the wrong error.
namespace {
thread_local bool clobber_next_allocation = false;
thread_local int clobbered_socket_error = 0;
}  // namespace

namespace kr::agent {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Lines = std::vector<std::string>;
using Clock = std::chrono::steady_clock;
using kr::error::failure_text;
using kr::error::system_error_text;
using test::CapturedQuery;

constexpr std::uint32_t kQueueSize = 200000;
constexpr ULONG kInjectedStatus = 5;  // ERROR_ACCESS_DENIED
const Bytes kHelloPayload = {1, '3', '.', '6', '.', '8'};

// Three small queries, then one larger than the sender's first buffer, so
// that the sender's buffer grows too.
std::vector<CapturedQuery> traffic() {
    std::vector<CapturedQuery> queries;
    for (std::uint16_t i = 0; i < 3; ++i) {
        queries.push_back({{10, 0, 0, static_cast<std::uint8_t>(5 + i)}, {10, 0, 0, 1},
                           kr::test::dns_message(static_cast<std::uint16_t>(0x100 + i), false, 0,
                                                 "host" + std::to_string(i) + ".example.test")});
    }
    CapturedQuery big{{10, 0, 0, 9}, {10, 0, 0, 1}, kr::test::dns_message(0x200, false, 0, "big.example.test")};
    big.dns.resize(5000, 0xAB);  // trailing bytes: the agent does not read past the header
    queries.push_back(big);
    return queries;
}

Bytes event_message(const CapturedQuery& q) {
    const std::uint32_t t = test::kCaptureSeconds;
    Bytes m = {2, static_cast<std::uint8_t>(t >> 24), static_cast<std::uint8_t>(t >> 16),
               static_cast<std::uint8_t>(t >> 8), static_cast<std::uint8_t>(t)};
    for (const std::string& text : {test::address_text(q.client), test::address_text(q.server)}) {
        m.push_back(static_cast<std::uint8_t>(text.size()));
        m.insert(m.end(), text.begin(), text.end());
    }
    m.push_back(0);
    m.insert(m.end(), q.dns.begin(), q.dns.end());
    return m;
}

// The calls of one seam, counted by key; one key and ordinal may be made to fail.
class Injector {
public:
    void reset(const std::string& key = "", int ordinal = 0) {
        std::lock_guard<std::mutex> g(lock_);
        counts_.clear();
        order_.clear();
        key_ = key;
        ordinal_ = ordinal;
        fired_ = false;
    }
    // Counts the call; true when it is the one to fail.
    bool hit(const std::string& key) {
        std::lock_guard<std::mutex> g(lock_);
        const int n = ++counts_[key];
        if (n == 1) order_.push_back(key);
        if (key == key_ && n == ordinal_) {
            fired_ = true;
            return true;
        }
        return false;
    }
    std::vector<std::pair<std::string, int>> counted() {
        std::lock_guard<std::mutex> g(lock_);
        std::vector<std::pair<std::string, int>> out;
        for (const auto& key : order_) out.push_back({key, counts_[key]});
        return out;
    }
    bool fired() {
        std::lock_guard<std::mutex> g(lock_);
        return fired_;
    }

private:
    std::mutex lock_;
    std::map<std::string, int> counts_;
    std::vector<std::string> order_;
    std::string key_;
    int ordinal_ = 0;
    bool fired_ = false;
};

Injector injector;
// The error a failed call leaves for the thread's next last-error call.
thread_local int pending_error = 0;
kr::thread::MemoryApi real_memory;
kr::transport::NetApi real_net;
kr::capture::EtwApi real_etw;
std::atomic<kr::transport::Socket> unclosed_socket{kr::transport::kInvalidSocket};

void* failing_malloc(std::size_t size) {
    if (injector.hit("malloc(" + std::to_string(size) + ")")) {
        clobber_next_allocation = true;
        errno = ENOMEM;
        return nullptr;
    }
    return real_memory.malloc(size);
}
void* failing_realloc(void* block, std::size_t size) {
    if (injector.hit("realloc(" + std::to_string(size) + ")")) {
        clobber_next_allocation = true;
        errno = ENOMEM;
        return nullptr;
    }
    return real_memory.realloc(block, size);
}

bool socket_call_fails(const char* name) {
    if (!injector.hit(name)) return false;
    pending_error = test::injected_socket_error();
    clobbered_socket_error = 0;
    clobber_next_allocation = true;
    return true;
}
kr::transport::Socket failing_socket(int family, int type, int protocol) {
    return socket_call_fails("socket") ? kr::transport::kInvalidSocket : real_net.socket(family, type, protocol);
}
int failing_ioctl(kr::transport::Socket s, long command, std::uint32_t* argument) {
    return socket_call_fails("ioctlsocket") ? kr::transport::kSocketError : real_net.ioctlsocket(s, command, argument);
}
std::uint32_t failing_inet_addr(const char* text) {
    return injector.hit("inet_addr") ? 0xFFFFFFFFu : real_net.inet_addr(text);  // INADDR_NONE
}
int failing_connect(kr::transport::Socket s, const kr::transport::SocketAddress* address, int length) {
    return socket_call_fails("connect") ? kr::transport::kSocketError : real_net.connect(s, address, length);
}
int failing_select(int nfds, kr::transport::Socket s, const kr::transport::TimeLimit* limit) {
    return socket_call_fails("select") ? kr::transport::kSocketError : real_net.select_write(nfds, s, limit);
}
int failing_send(kr::transport::Socket s, const char* data, int length, int flags) {
    return socket_call_fails("send") ? kr::transport::kSocketError : real_net.send(s, data, length, flags);
}
int failing_last_error() {
    // Read the real value first: on Windows the first touch of a thread-local
    // variable can clear the thread's last error.
    const int real = real_net.last_error();
    if (clobbered_socket_error != 0) {
        clobbered_socket_error = 0;
        pending_error = 0;
    }
    if (pending_error != 0) {
        const int code = pending_error;
        pending_error = 0;
        return code;
    }
    return real;
}
int failing_shutdown(kr::transport::Socket s, int how) {
    return socket_call_fails("shutdown") ? kr::transport::kSocketError : real_net.shutdown(s, how);
}
int failing_closesocket(kr::transport::Socket s) {
    if (socket_call_fails("closesocket")) {
        unclosed_socket = s;  // closed by the test afterwards
        return kr::transport::kSocketError;
    }
    return real_net.closesocket(s);
}
int failing_startup(std::uint16_t version) {
    return injector.hit("startup") ? test::injected_socket_error() : real_net.startup(version);
}

ULONG WINAPI failing_start_trace(PTRACEHANDLE handle, LPCSTR name, PEVENT_TRACE_PROPERTIES properties) {
    return injector.hit("StartTrace") ? kInjectedStatus : real_etw.start_trace(handle, name, properties);
}
ULONG WINAPI failing_enable(TRACEHANDLE handle, LPCGUID provider, ULONG code, UCHAR level, ULONGLONG any,
                            ULONGLONG all, ULONG timeout, PENABLE_TRACE_PARAMETERS parameters) {
    if (injector.hit("EnableTraceEx2")) return kInjectedStatus;
    return real_etw.enable_trace_ex2(handle, provider, code, level, any, all, timeout, parameters);
}
TRACEHANDLE WINAPI failing_open_trace(PEVENT_TRACE_LOGFILEA logfile) {
    if (injector.hit("OpenTrace")) {
        pending_error = static_cast<int>(kInjectedStatus);
        return INVALID_PROCESSTRACE_HANDLE;
    }
    return real_etw.open_trace(logfile);
}
ULONG WINAPI failing_process_trace(PTRACEHANDLE handles, ULONG count, LPFILETIME start, LPFILETIME end) {
    return injector.hit("ProcessTrace") ? kInjectedStatus : real_etw.process_trace(handles, count, start, end);
}
ULONG WINAPI failing_close_trace(TRACEHANDLE handle) {
    return injector.hit("CloseTrace") ? kInjectedStatus : real_etw.close_trace(handle);
}
DWORD failing_etw_last_error() {
    if (pending_error != 0) {
        const int code = pending_error;
        pending_error = 0;
        return static_cast<DWORD>(code);
    }
    return real_etw.last_error();
}

enum class Seam { kMemory, kSockets, kTrace };

// Scripted module and directory calls, as for the run sequence's own tests.
std::string exe_path;
void* fake_module_handle() { return reinterpret_cast<void*>(0x400000); }
std::uint32_t fake_file_name(void*, char* buffer, std::uint32_t size) {
    std::snprintf(buffer, size, "%s", exe_path.c_str());
    return static_cast<std::uint32_t>(exe_path.size());
}
int fake_chdir(const char*) { return 0; }
std::uint32_t no_error() { return 0; }

// What the collector got on one connection.
struct Collected {
    bool connected = false;
    Bytes stream;
    std::vector<Bytes> records;  // whole records, hello included

    void take(kr::test::LoopbackListener& listener) {
        if (!connected) connected = listener.accept(20);
        if (!connected) {
            kr::thread::sleep_ms(20);
            return;
        }
        Bytes chunk = listener.read(1 << 16, 20);
        stream.insert(stream.end(), chunk.begin(), chunk.end());
        kr::test::split_records(stream, records);
    }
    std::size_t events() const { return records.empty() ? 0 : records.size() - 1; }
};

// What one failing call must lead to.
struct Expectation {
    std::string line;           // a log line that must appear ("" for none)
    bool line_is_prefix = false;
    bool run_ends = false;      // the run fails at start-up and returns by itself
    int events = -1;            // event records the collector must get (-1: any)
    bool connects = true;       // the forwarder reaches the collector
};

}  // namespace
}  // namespace kr::agent
