// Cost of decoding one DNS server event through the TDH substitute, and of
// building one with DnsEventBuilder, with the allocations made per event once
// the buffers have grown: counted at the agent's allocation seam
// (kr::thread::memory_api), at global operator new, and at the C library's
// malloc/calloc/realloc.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "capture/decoder.h"
#include "capture/etw_session.h"
#include "capture/tdh_api.h"
#include "substitute/event_builder.h"
#include "substitute/tdh_substitute.h"
#include "thread/crt.h"

namespace {

std::atomic<bool> counting{false};
std::atomic<long> new_calls{0};
std::atomic<long> malloc_calls{0};
std::atomic<long> seam_calls{0};

}  // namespace

extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* block, std::size_t size);
void __libc_free(void* block);

void* malloc(std::size_t size) {
    if (counting.load(std::memory_order_relaxed)) malloc_calls.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(size);
}
void* calloc(std::size_t count, std::size_t size) {
    if (counting.load(std::memory_order_relaxed)) malloc_calls.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(count, size);
}
void* realloc(void* block, std::size_t size) {
    if (counting.load(std::memory_order_relaxed)) malloc_calls.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(block, size);
}
}

void* operator new(std::size_t size) {
    if (counting.load(std::memory_order_relaxed)) new_calls.fetch_add(1, std::memory_order_relaxed);
    // Straight to the C library's allocator, so that new and malloc are counted apart.
    if (void* p = __libc_malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void operator delete(void* p) noexcept { __libc_free(p); }
void operator delete[](void* p) noexcept { __libc_free(p); }
void operator delete(void* p, std::size_t) noexcept { __libc_free(p); }
void operator delete[](void* p, std::size_t) noexcept { __libc_free(p); }

namespace {

using namespace kr::capture;
using namespace kr::substitute;

void* counting_malloc(std::size_t size) {
    if (counting.load(std::memory_order_relaxed)) seam_calls.fetch_add(1, std::memory_order_relaxed);
    return kr::thread::memory_platform_api().malloc(size);
}
void* counting_realloc(void* block, std::size_t size) {
    if (counting.load(std::memory_order_relaxed)) seam_calls.fetch_add(1, std::memory_order_relaxed);
    return kr::thread::memory_platform_api().realloc(block, size);
}

// Counts allocations made while it is alive (after the warm-up) and reports
// them per iteration.
class AllocationCount {
public:
    AllocationCount() {
        kr::thread::memory_api() = kr::thread::MemoryApi{counting_malloc, counting_realloc,
                                                    kr::thread::memory_platform_api().free};
        new_calls = malloc_calls = seam_calls = 0;
        counting = true;
    }
    void report(benchmark::State& state) {
        counting = false;
        kr::thread::memory_api() = kr::thread::memory_platform_api();
        const double n = static_cast<double>(state.iterations());
        state.counters["seam_allocs/event"] = static_cast<double>(seam_calls) / n;
        state.counters["new/event"] = static_cast<double>(new_calls) / n;
        state.counters["malloc/event"] = static_cast<double>(malloc_calls) / n;
    }
};

int consume(const std::uint8_t* data, std::uint32_t length, void*) {
    benchmark::DoNotOptimize(data);
    benchmark::DoNotOptimize(length);
    return 0;
}

std::vector<std::uint8_t> packet_of(std::size_t size) {
    std::vector<std::uint8_t> packet(size);
    for (std::size_t i = 0; i < size; ++i) packet[i] = static_cast<std::uint8_t>(i * 31);
    return packet;
}

// Second argument 1: with the stats counters.
void BM_DecodeEvent(benchmark::State& state) {
    tdh_api() = tdh_substitute_api();
    const auto id = static_cast<std::uint16_t>(state.range(0));
    DecoderCounters counters;
    const auto packet = packet_of(100);
    DnsEventBuilder builder;
    const EVENT_RECORD* record =
        builder.build(id, kEpochOffset + 17000000000000000LL, 0, "192.0.2.1", "198.51.100.23", packet.data(), 100);
    EtwSession session;
    session.message_callback = consume;
    if (state.range(1) != 0) session.counters = &counters;
    decode_event(session, record);  // grows the buffers once
    AllocationCount allocations;
    for (auto _ : state) decode_event(session, record);
    allocations.report(state);
}
BENCHMARK(BM_DecodeEvent)->ArgsProduct({{256, 257, 258}, {0, 1}});

void BM_BuildEvent(benchmark::State& state) {
    const auto packet = packet_of(100);
    DnsEventBuilder builder;
    std::int64_t timestamp = kEpochOffset;
    AllocationCount allocations;
    for (auto _ : state) {
        const EVENT_RECORD* record =
            builder.build(257, ++timestamp, 0, "192.0.2.1", "198.51.100.23", packet.data(), 100);
        benchmark::DoNotOptimize(record);
    }
    allocations.report(state);
}
BENCHMARK(BM_BuildEvent);

void BM_BuildAndDecode(benchmark::State& state) {
    tdh_api() = tdh_substitute_api();
    const auto packet = packet_of(100);
    DnsEventBuilder builder;
    EtwSession session;
    session.message_callback = consume;
    decode_event(session, builder.build(257, kEpochOffset, 0, "192.0.2.1", "198.51.100.23", packet.data(), 100));
    std::int64_t timestamp = kEpochOffset;
    AllocationCount allocations;
    for (auto _ : state) {
        decode_event(session,
                     builder.build(257, timestamp += 10000000, 0, "192.0.2.1", "198.51.100.23", packet.data(), 100));
    }
    allocations.report(state);
}
BENCHMARK(BM_BuildAndDecode);

// Shows that the counters see allocations: one std::string of 100 characters
// (one operator new) and one raw malloc per iteration.
void BM_CounterCalibration(benchmark::State& state) {
    AllocationCount allocations;
    for (auto _ : state) {
        std::string text(100, 'x');
        void* raw = std::malloc(16);
        benchmark::DoNotOptimize(text.data());
        benchmark::DoNotOptimize(raw);
        std::free(raw);
    }
    allocations.report(state);
}
BENCHMARK(BM_CounterCalibration);

}  // namespace

BENCHMARK_MAIN();
