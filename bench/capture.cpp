// Capture from a file replay, stage by stage, and end to end.
//
// A capture of 1,000,000 DNS messages (Ethernet, IPv4, 90% UDP and 10% TCP,
// queries and their answers, 200 client addresses) is written once to a
// temporary pcap file. Then:
//   Replay/Parse           libpcap read + frame parsing + event building
//   Replay/Decode          ... + decode_event into the message
//   Replay/DecodeQueue     ... + queue_message into a default-size ring, nothing sent
//   EndToEnd/send_batch:N  the agent's pipeline (trace substitute session thread,
//                          ring, forwarder sending record by record with 0, in
//                          batches of up to N bytes otherwise) to a loopback
//                          receiver that only counts records: events/s, ring
//                          drops, CPU time of the agent's threads and the
//                          process's peak RSS during the run.
#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "capture/decoder.h"
#include "capture/etw_api.h"
#include "capture/etw_session.h"
#include "capture/tdh_api.h"
#include "config/config.h"
#include "forward/sensor_queue.h"
#include "forward/sensor_queue_processor.h"
#include "substitute/tdh_substitute.h"
#include "substitute/trace_substitute.h"
#include "support/frames.h"
#include "support/log_capture.h"
#include "support/loopback.h"
#include "support/pcap_file.h"
#include "traffic/pcap_source.h"
#include "transport/net_api.h"

namespace {

using namespace kr::capture;
using namespace kr::substitute;
using namespace kr::traffic;
using kr::test::Bytes;
using kr::test::Endpoint;
namespace frames = kr::test;
using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kMessages = 1000000;

struct Capture {
    kr::test::TempDir dir;
    std::string path;
    std::uint64_t records_bytes = 0;  // what the collector receives: 4 + message, per message
};

// Written on first use; every benchmark replays the same file.
const Capture& capture_file() {
    static Capture* capture = [] {
        auto* c = new Capture();
        c->path = c->dir.file("dns.pcap");
        kr::test::PcapFileWriter file(c->path, link_type::kEthernet, true);
        const Endpoint server{frames::ipv4_address(10, 0, 0, 53), 53};
        std::int64_t second = 1700000000;
        std::uint32_t nanos = 0;
        for (std::uint32_t i = 0; i < kMessages / 2; ++i) {
            const Endpoint client{frames::ipv4_address(10, 1, static_cast<std::uint8_t>(i % 200), 7),
                                  static_cast<std::uint16_t>(10000 + i % 50000)};
            const std::string name = "host" + std::to_string(i % 1000) + ".example.test";
            const Bytes query = frames::dns_message(static_cast<std::uint16_t>(i), false, 0, name);
            const Bytes answer = frames::dns_message(static_cast<std::uint16_t>(i), true, i % 7 == 0 ? 3 : 0, name);
            const bool tcp = i % 10 == 0;
            const Bytes q = tcp ? frames::tcp_packet(client, server, frames::tcp_stream({query}))
                                : frames::udp_packet(client, server, query);
            const Bytes a = tcp ? frames::tcp_packet(server, client, frames::tcp_stream({answer}))
                                : frames::udp_packet(server, client, answer);
            file.write(second, nanos, frames::ethernet(q));
            file.write(second, nanos + 1000, frames::ethernet(a));
            nanos += 5000;
            if (nanos >= 1000000000) {
                nanos = 0;
                ++second;
            }
            // Event message: 8 + client text + server text + DNS, plus the length field.
            const std::size_t client_text = std::to_string(i % 200).size() + 7;
            c->records_bytes += 2 * (4 + 8 + client_text + 9) + query.size() + answer.size();
        }
        return c;
    }();
    return *capture;
}

int count_message(const std::uint8_t*, std::uint32_t, void* context) {
    ++*static_cast<std::uint64_t*>(context);
    return 0;
}

enum Stage { kParse, kDecode, kDecodeQueue };

void Replay(benchmark::State& state) {
    const Capture& capture = capture_file();
    const auto stage = static_cast<Stage>(state.range(0));
    tdh_api() = tdh_substitute_api();
    kr::forward::SensorQueue queue;
    kr::forward::create(queue, kr::config::kDefaultQueueSize);
    std::uint64_t events = 0, messages = 0;
    for (auto _ : state) {
        state.PauseTiming();
        PcapEventSource source("file:" + capture.path, 53);
        auto session = std::make_unique<EtwSession>();
        session->message_callback = stage == kDecodeQueue ? kr::forward::queue_message : count_message;
        session->callback_context = stage == kDecodeQueue ? static_cast<void*>(&queue) : &messages;
        if (source.open() != ERROR_SUCCESS) {
            state.SkipWithError("cannot open the capture");
            break;
        }
        state.ResumeTiming();
        while (const EVENT_RECORD* record = source.next(0)) {
            if (stage != kParse) decode_event(*session, record);
            ++events;
        }
    }
    state.counters["events/s"] = benchmark::Counter(static_cast<double>(events), benchmark::Counter::kIsRate);
    state.counters["ns/event"] = benchmark::Counter(static_cast<double>(events),
                                                    benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    kr::forward::destroy(queue);
}
BENCHMARK(Replay)->ArgName("stage")->Arg(kParse)->Arg(kDecode)->Arg(kDecodeQueue)->Unit(benchmark::kMillisecond)
    ->Iterations(3);

// Counts the records of one connection until `expected` came or the stream
// has been idle for a second. Also keeps the CPU time it used itself.
struct Receiver {
    kr::test::loopback::Handle listener;
    std::uint16_t port = 0;
    std::uint64_t expected = 0;
    std::uint64_t records = 0;
    double cpu_seconds = 0;
    Clock::time_point last_record;

    void run() {
        if (!kr::test::loopback::wait_readable(listener, 10000)) return;
        const auto socket = kr::test::loopback::accept(listener);
        std::vector<std::uint8_t> buffer(1 << 20);
        std::uint64_t skip = 0;       // bytes of the current message still to skip
        std::uint8_t length[4];
        int length_bytes = 0;
        while (records < expected && kr::test::loopback::wait_readable(socket, 1000)) {
            const int n = kr::test::loopback::receive(socket, buffer.data(), static_cast<int>(buffer.size()));
            if (n <= 0) break;
            for (int i = 0; i < n;) {
                if (skip > 0) {
                    const auto take = std::min<std::uint64_t>(skip, static_cast<std::uint64_t>(n - i));
                    skip -= take;
                    i += static_cast<int>(take);
                    if (skip == 0) {
                        ++records;
                        last_record = Clock::now();
                    }
                    continue;
                }
                length[length_bytes++] = buffer[static_cast<std::size_t>(i++)];
                if (length_bytes == 4) {
                    skip = (std::uint64_t{length[0]} << 24) | (length[1] << 16) | (length[2] << 8) | length[3];
                    length_bytes = 0;
                }
            }
        }
        kr::test::loopback::close(socket, false);
        rusage usage{};
        getrusage(RUSAGE_THREAD, &usage);
        cpu_seconds = usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
                      (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    }
};

// Starts a new peak of the resident set (Linux: writing 5 to clear_refs).
void reset_peak_rss() { std::ofstream("/proc/self/clear_refs") << "5"; }

// The peak resident set since the last reset, in MiB (VmHWM), or -1.
double peak_rss_mib() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
    }
    return -1;
}

double process_cpu_seconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void EndToEnd(benchmark::State& state) {
    const Capture& capture = capture_file();
    etw_api() = trace_substitute_api();
    tdh_api() = tdh_substitute_api();
    kr::transport::net_startup();
    for (auto _ : state) {
        trace_substitute_reset();
        Receiver receiver;
        receiver.listener = kr::test::loopback::open_bound(true, &receiver.port);
        receiver.expected = 1 + kMessages;  // the hello, then every message
        std::vector<kr::config::Target> targets{{"127.0.0.1", receiver.port, 5}};
        kr::forward::SensorQueue queue;
        kr::forward::create(queue, kr::config::kDefaultQueueSize);
        kr::forward::SensorQueueProcessor forwarder;
        kr::forward::init(forwarder, &queue, &targets);
        forwarder.send_batch = static_cast<std::uint32_t>(state.range(0));
        auto source = std::make_shared<PcapEventSource>("file:" + capture.path, 53);
        trace_set_event_source(source);
        EtwSessionHolder holder;
        holder.set_callback(kr::forward::queue_message, &queue);

        reset_peak_rss();
        std::thread receiving([&] { receiver.run(); });
        const double cpu_before = process_cpu_seconds();
        const auto start = Clock::now();
        kr::forward::start(forwarder);
        holder.start();
        // When the session has put the whole capture into the ring: the
        // capture stage's own pace within the pipeline.
        auto captured_at = Clock::now();
        while (source->events() < kMessages && Clock::now() - start < std::chrono::seconds(60)) {
            std::this_thread::sleep_for(std::chrono::microseconds(500));
            captured_at = Clock::now();
        }
        receiving.join();
        const auto end = receiver.last_record;
        const double cpu = process_cpu_seconds() - cpu_before - receiver.cpu_seconds;
        holder.stop();
        kr::forward::stop(forwarder);
        kr::forward::release(forwarder);
        kr::forward::destroy(queue);
        kr::test::loopback::close(receiver.listener, false);

        const double seconds = std::chrono::duration<double>(end - start).count();
        state.SetIterationTime(seconds);
        const double received = static_cast<double>(receiver.records > 0 ? receiver.records - 1 : 0);
        state.counters["events/s"] = received / seconds;
        state.counters["capture_events/s"] =
            static_cast<double>(source->events()) / std::chrono::duration<double>(captured_at - start).count();
        state.counters["events"] = received;
        state.counters["captured"] = static_cast<double>(source->events());
        state.counters["ring_drops"] = static_cast<double>(source->events()) - received;
        state.counters["cpu_s"] = cpu;
        state.counters["cpu_us/event"] = cpu * 1e6 / (received > 0 ? received : 1);
        state.counters["MB/s"] = static_cast<double>(capture.records_bytes) / seconds / 1e6;
        state.counters["peak_rss_MiB"] = peak_rss_mib();
    }
    trace_substitute_reset();
}
BENCHMARK(EndToEnd)->ArgName("send_batch")->Arg(0)->Arg(65536)->UseManualTime()->Unit(benchmark::kMillisecond)
    ->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
