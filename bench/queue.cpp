// Sensor queue throughput: push+pop pairs on one thread (with and without
// the stats counters) against plain memcpy of the same bytes, and a producer
// and a consumer thread as the agent runs them.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstring>
#include <vector>

#include "forward/sensor_queue.h"

namespace {

constexpr std::uint32_t ring_size = 1 << 20;

void count(benchmark::State& state, std::int64_t messages, std::int64_t length) {
    state.SetItemsProcessed(messages);
    state.SetBytesProcessed(messages * length);
    state.counters["messages/s"] = benchmark::Counter(static_cast<double>(messages), benchmark::Counter::kIsRate);
}

void push_pop(benchmark::State& state, bool signal, bool counted) {
    const auto length = static_cast<std::uint32_t>(state.range(0));
    kr::forward::SensorQueue queue;
    kr::forward::create(queue, ring_size);
    kr::forward::QueueCounters counters;
    if (counted) queue.counters = &counters;
    if (!signal) {
        // Without the event, push's signal fails at once: what remains is the
        // ring's own cost (locks and copies).
        kr::thread::handle_close(&queue.data_ready);
        queue.data_ready = nullptr;
    }
    std::vector<std::uint8_t> in(length, 0x5A), out(length);
    for (auto _ : state) {
        kr::forward::push(queue, in.data(), length);
        benchmark::DoNotOptimize(kr::forward::pop(queue, out.data(), length));
        benchmark::ClobberMemory();
    }
    kr::forward::destroy(queue);
    count(state, state.iterations(), length);
}
BENCHMARK_CAPTURE(push_pop, signalled, true, false)->Arg(100)->Arg(1000)->Arg(16000);
BENCHMARK_CAPTURE(push_pop, signalled_counted, true, true)->Arg(100)->Arg(1000)->Arg(16000);
BENCHMARK_CAPTURE(push_pop, no_signal, false, false)->Arg(100)->Arg(1000)->Arg(16000);
BENCHMARK_CAPTURE(push_pop, no_signal_counted, false, true)->Arg(100)->Arg(1000)->Arg(16000);

// The copies alone: each message copied into a ring of the same size at the
// position the queue would use, and out again.
void memcpy_in_out(benchmark::State& state) {
    const auto length = static_cast<std::uint32_t>(state.range(0));
    std::vector<std::uint8_t> ring(ring_size), in(length, 0x5A), out(length);
    std::uint32_t pos = 0;
    for (auto _ : state) {
        if (pos + length + 4 > ring_size) pos = 0;
        std::memcpy(ring.data() + pos + 4, in.data(), length);
        benchmark::ClobberMemory();
        std::memcpy(out.data(), ring.data() + pos + 4, length);
        benchmark::ClobberMemory();
        pos += length + 4;
    }
    benchmark::DoNotOptimize(out.data());
    count(state, state.iterations(), length);
}
BENCHMARK(memcpy_in_out)->Arg(100)->Arg(1000)->Arg(16000);

struct Consumer {
    kr::forward::SensorQueue queue;
    std::int64_t received = 0;
};

std::uint32_t consume(void* p) {
    auto* c = static_cast<Consumer*>(p);
    std::uint8_t buffer[256];
    for (;;) {
        int n = kr::forward::pop(c->queue, buffer, sizeof buffer);
        if (n == 0) {
            kr::forward::wait_for_data(c->queue);
            continue;
        }
        if (n == 1) return 0;
        ++c->received;
    }
}

// Each iteration runs a whole transfer of a batch, the consumer started and
// joined inside it. The ring holds a whole batch, so nothing should be
// dropped; the drops are counted beside the messages delivered.
void producer_consumer(benchmark::State& state) {
    constexpr std::int64_t batch = 200000;
    const std::uint32_t length = 100;
    std::vector<std::uint8_t> message(length, 0x5A);
    const std::uint8_t end = 0;
    Consumer c;
    kr::forward::create(c.queue, 32 << 20);
    for (auto _ : state) {
        kr::thread::ThreadHandle thread = nullptr;
        kr::thread::thread_create(&thread, nullptr, consume, &c);
        for (std::int64_t i = 0; i < batch; ++i) kr::forward::push(c.queue, message.data(), length);
        kr::forward::push(c.queue, &end, 1);
        kr::thread::thread_join(thread, nullptr);
        kr::thread::handle_close(&thread);
    }
    kr::forward::destroy(c.queue);
    count(state, c.received, length);
    state.counters["dropped"] = static_cast<double>(batch * state.iterations() - c.received);
}
BENCHMARK(producer_consumer)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
