#pragma once
// What the forwarder's tests share: records as the wire carries them, the log's
// lines, a processor over a queue of its own and allocation faults.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <regex>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "error/error.h"
#include "forward/sensor_queue_processor.h"
#include "support/log_capture.h"
#include "support/loopback.h"
#include "support/tls_peer.h"
#include "thread/crt.h"
#include "thread/thread.h"
#include "transport/net_api.h"

namespace kr::forward {
using kr::sensor::SensorError;
using kr::transport::NetApi;
using kr::transport::Socket;
using kr::transport::SocketAddress;
using kr::transport::TimeLimit;
using kr::transport::kAfInet;
using kr::transport::kFionbio;
using kr::transport::kInvalidSocket;
using kr::transport::kIpProtoTcp;
using kr::transport::kShutdownBoth;
using kr::transport::kSockStream;
using kr::transport::kSocketError;
using kr::transport::kWouldBlock;
using kr::transport::net_api;
using kr::transport::net_platform_api;

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;
using kr::config::Target;
using kr::test::LogCapture;
using kr::test::LoopbackListener;

const Bytes kHello = {0x00, 0x00, 0x00, 0x06, 0x01, 0x33, 0x2E, 0x36, 0x2E, 0x38};

inline Bytes message_of(std::size_t size, std::uint8_t seed) {
    Bytes m(size);
    for (std::size_t i = 0; i < size; ++i) m[i] = static_cast<std::uint8_t>(seed + i * 7);
    return m;
}

inline Bytes record(const Bytes& message) {
    const auto n = static_cast<std::uint32_t>(message.size());
    Bytes r(4 + message.size());
    r[0] = static_cast<std::uint8_t>(n >> 24);
    r[1] = static_cast<std::uint8_t>(n >> 16);
    r[2] = static_cast<std::uint8_t>(n >> 8);
    r[3] = static_cast<std::uint8_t>(n);
    std::copy(message.begin(), message.end(), r.begin() + 4);
    return r;
}

inline Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

inline Target target(const char* ip, std::uint16_t port, std::uint32_t timeout = 1) {
    Target t;
    t.ip = ip;
    t.port = port;
    t.timeout = timeout;
    return t;
}

inline std::string endpoint(std::uint16_t port) { return "127.0.0.1:" + std::to_string(port); }

inline long long ms_since(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

template <class Condition>
bool eventually(Condition condition, int timeout_ms = 5000) {
    const auto until = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!condition()) {
        if (Clock::now() > until) return false;
        kr::thread::sleep_ms(5);
    }
    return true;
}

// The text of the SensorError that the call throws.
template <class Call>
std::string failure_of(Call call) {
    try {
        call();
    } catch (const SensorError& e) {
        return e.what();
    }
    return "(no exception)";
}

inline bool starts_with(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }

// Index of the first log message starting with prefix, or -1.
inline int find_line(const std::vector<std::string>& lines, const std::string& prefix) {
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (starts_with(lines[i], prefix)) return static_cast<int>(i);
    }
    return -1;
}

inline std::string without_cr(std::string text) {
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
    return text;
}

// The log's messages with every CR removed. System error texts end in CR LF
// on Windows, and LogCapture::messages() takes a line ending in CR for the
// continuation of the one before it, so the file is split here instead.
inline std::vector<std::string> log_lines(const LogCapture& log) {
    static const std::regex prefix(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ \[\d+\]: )");
    std::vector<std::string> lines;
    std::istringstream in(without_cr(log.raw()));
    std::string line;
    while (std::getline(in, line)) {
        std::smatch m;
        if (std::regex_search(line, m, prefix)) {
            lines.push_back(m.suffix());
        } else if (!lines.empty()) {
            lines.back() += "\n" + line;
        }
    }
    return lines;
}

inline bool logged(const LogCapture& log, const std::string& prefix, int timeout_ms = 5000) {
    return eventually([&] { return find_line(log_lines(log), without_cr(prefix)) >= 0; }, timeout_ms);
}

// A processor over a queue of its own. Destruction stops it (joining the
// sender), releases it and destroys the queue, also after a failed assertion.
struct Forwarder {
    explicit Forwarder(std::vector<Target> list, std::uint32_t pause_step_ms = 20, std::uint32_t send_batch = 0)
        : targets(std::move(list)), counters(targets.size()) {
        create(queue, 1 << 20);
        init(processor, &queue, &targets);
        processor.pause_step_ms = pause_step_ms;
        processor.send_batch = send_batch;
        processor.counters = &counters;
    }
    ~Forwarder() {
        stop(processor);
        release(processor);
        destroy(queue);
    }
    void push(const Bytes& m) { kr::forward::push(queue, m.data(), static_cast<std::uint32_t>(m.size())); }

    // sent, resent, connects, breaks, then the connect failures per target.
    std::vector<std::uint64_t> tally() const {
        std::vector<std::uint64_t> out = {counters.sent.get(), counters.resent.get(), counters.connects.get(),
                                          counters.breaks.get()};
        for (const auto& failed : counters.connect_failed) out.push_back(failed.get());
        return out;
    }

    std::vector<Target> targets;
    SenderCounters counters;
    SensorQueue queue;
    SensorQueueProcessor processor;
};

// Allocation faults and a record of realloc sizes, through the C runtime
// seam. Installed before a sender starts and removed after it is joined.
struct AllocationFaults {
    static inline std::atomic<std::size_t> fail_malloc_size{0};
    static inline std::atomic<int> fail_next_reallocs{0};
    static inline std::mutex lock;
    static inline std::vector<std::size_t> realloc_sizes;

    static void* malloc_hook(std::size_t size) {
        if (size == fail_malloc_size) {
            errno = ENOMEM;
            return nullptr;
        }
        return kr::thread::memory_platform_api().malloc(size);
    }
    static void* realloc_hook(void* block, std::size_t size) {
        {
            std::lock_guard<std::mutex> guard(lock);
            realloc_sizes.push_back(size);
        }
        if (fail_next_reallocs > 0) {
            --fail_next_reallocs;
            errno = ENOMEM;
            return nullptr;
        }
        return kr::thread::memory_platform_api().realloc(block, size);
    }

    AllocationFaults() {
        fail_malloc_size = 0;
        fail_next_reallocs = 0;
        realloc_sizes.clear();
        kr::thread::memory_api().malloc = malloc_hook;
        kr::thread::memory_api().realloc = realloc_hook;
    }
    ~AllocationFaults() { kr::thread::memory_api() = kr::thread::memory_platform_api(); }
    std::vector<std::size_t> reallocs() {
        std::lock_guard<std::mutex> guard(lock);
        return realloc_sizes;
    }
};

}  // namespace kr::forward
