#include "sensor_queue_helpers.h"

namespace kr::forward {
namespace {

// Enough to catch lost wake-ups and torn records, yet a few seconds where
// locking is slow: sanitizers, and Wine, whose server handles every call on
// a Windows mutex or event.
#if defined(_WIN32)
constexpr std::uint32_t traffic_messages = 4000;
#elif defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr std::uint32_t traffic_messages = 200000;
#else
constexpr std::uint32_t traffic_messages = 1000000;
#endif

// Message seq: 4 bytes of seq, then 0..59 bytes derived from it. The last
// message, 3 bytes long, tells the consumer to stop.
constexpr std::uint32_t traffic_max = 64;
std::uint32_t traffic_message(std::uint32_t seq, std::uint8_t* out) {
    const std::uint32_t length = 4 + seq % 61 * 7 % 60;
    for (std::uint32_t i = 0; i < length; ++i) {
        out[i] = static_cast<std::uint8_t>(i < 4 ? seq >> (24 - 8 * i) : seq + i * 7);
    }
    return length;
}

struct Traffic {
    SensorQueue q;
    bool batches = false;  // the consumer takes batches of up to 300 bytes
    std::atomic<std::uint32_t> received{0};
    std::atomic<bool> done{false};
    std::uint32_t last_seq = 0;
    bool first = true;
    std::string fault;

    // False at the end message or a torn or out-of-order one (noted in fault).
    bool take(const std::uint8_t* m, std::uint32_t n) {
        if (n == 3) return false;
        std::uint8_t expected[traffic_max];
        std::uint32_t seq = (std::uint32_t{m[0]} << 24) | (m[1] << 16) | (m[2] << 8) | m[3];
        bool intact = n >= 4 && n <= traffic_max && traffic_message(seq, expected) == n &&
                      std::memcmp(m, expected, n) == 0;
        if (!intact || (!first && seq <= last_seq)) {
            fault = "bad message after " + std::to_string(last_seq);
            return false;
        }
        first = false;
        last_seq = seq;
        received.fetch_add(1, std::memory_order_release);
        return true;
    }
};

// The consumer as the sender runs it: pop, and wait only after an empty pop,
// until the end message or a fault.
void consume_until_end(Traffic* t) {
    std::uint8_t buffer[300];
    for (;;) {
        int n = t->batches ? pop_batch(t->q, buffer, sizeof buffer, sizeof buffer) : pop(t->q, buffer, traffic_max);
        if (n == 0) {
            wait_for_data(t->q);
            continue;
        }
        if (!t->batches && !t->take(buffer, static_cast<std::uint32_t>(n))) return;
        for (int i = 0; t->batches && i < n;) {
            const std::uint32_t length = (std::uint32_t{buffer[i]} << 24) | (buffer[i + 1] << 16) |
                                         (buffer[i + 2] << 8) | buffer[i + 3];
            if (i + 4 + length > static_cast<std::uint32_t>(n) || !t->take(buffer + i + 4, length)) return;
            i += 4 + static_cast<int>(length);
        }
    }
}

std::uint32_t consume(void* p) {
    auto* t = static_cast<Traffic*>(p);
    consume_until_end(t);
    t->done = true;
    return 0;
}

// Waits for the consumer until ready() holds. A consumer that takes nothing
// for five seconds while messages wait has missed a wake-up: the test fails,
// and a signal releases the consumer so that the test still ends.
template <class Ready>
void wait_for_consumer(Traffic& t, Ready ready) {
    std::uint32_t seen = t.received.load(std::memory_order_acquire);
    auto since = std::chrono::steady_clock::now();
    while (!ready()) {
        const std::uint32_t now = t.received.load(std::memory_order_acquire);
        if (now != seen) {
            seen = now;
            since = std::chrono::steady_clock::now();
        } else if (std::chrono::steady_clock::now() - since > std::chrono::seconds(5)) {
            ADD_FAILURE() << "the consumer stalled after " << seen << " messages: a lost wake-up";
            kr::thread::event_signal(&t.q.data_ready);
            since = std::chrono::steady_clock::now();
        }
        std::this_thread::yield();
    }
}

// Produces on this thread. With a window, the producer keeps at most that
// many messages unconsumed, so that nothing is dropped; without, it never waits.
void run_traffic(Traffic& t, std::uint32_t window) {
    ThreadHandle consumer = nullptr;
    ASSERT_EQ(0, kr::thread::thread_create(&consumer, nullptr, consume, &t));
    for (std::uint32_t seq = 0; seq < traffic_messages; ++seq) {
        if (window != 0) {
            wait_for_consumer(t, [&] { return seq - t.received.load(std::memory_order_acquire) < window; });
        }
        std::uint8_t m[traffic_max];
        push(t.q, m, traffic_message(seq, m));
    }
    Bytes end(3);
    push(t.q, end.data(), 3);
    wait_for_consumer(t, [&] { return t.done.load(); });
    kr::thread::thread_join(consumer, nullptr);
    kr::thread::handle_close(&consumer);
}

TEST(SensorQueueThreads, EveryMessageArrivesInOrderWhenNothingOverflows) {
    for (bool batches : {false, true}) {
        SCOPED_TRACE(batches ? "batches" : "single pops");
        Traffic t;
        t.batches = batches;
        create(t.q, 1 << 16);
        run_traffic(t, (1 << 16) / (traffic_max + 4));
        destroy(t.q);
        EXPECT_EQ("", t.fault);
        EXPECT_EQ(traffic_messages, t.received.load());
        EXPECT_EQ(traffic_messages - 1, t.last_seq);
    }
}

TEST(SensorQueueThreads, OverflowingRingDeliversWholeMessagesInOrder) {
    for (bool batches : {false, true}) {
        SCOPED_TRACE(batches ? "batches" : "single pops");
        Traffic t;
        t.batches = batches;
        create(t.q, 300);
        QueueCounters counters;
        t.q.counters = &counters;
        run_traffic(t, 0);
        destroy(t.q);
        EXPECT_EQ("", t.fault);
        EXPECT_LE(t.received.load(), traffic_messages);
        EXPECT_GT(t.received.load(), 0u);
        // Every message is accounted for: taken out (the end marker too), dropped, or still stored.
        EXPECT_EQ(traffic_messages + 1, counters.queued.get());
        EXPECT_EQ(counters.queued.get(), t.received.load() + 1 + counters.dropped.get() + counters.in_queue.get());
        EXPECT_LE(counters.peak_bytes.get(), 300u);
    }
}

}  // namespace
}  // namespace kr::forward
