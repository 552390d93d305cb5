#include "sensor_queue_helpers.h"

namespace kr::forward {
namespace {

void expect_positions(const SensorQueue& q, std::uint32_t read_pos, std::uint32_t write_pos, bool wrapped) {
    EXPECT_EQ(read_pos, q.read_pos);
    EXPECT_EQ(write_pos, q.write_pos);
    EXPECT_EQ(wrapped, q.wrapped);
}

bool becomes_true(const std::atomic<bool>& flag, int ms) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!flag && std::chrono::steady_clock::now() < until) kr::thread::sleep_ms(1);
    return flag;
}

struct WaitProbe {
    SensorQueue* q;
    std::atomic<bool> done{false};
};

std::uint32_t wait_once(void* p) {
    auto* probe = static_cast<WaitProbe*>(p);
    wait_for_data(*probe->q);
    probe->done = true;
    return 0;
}

// Runs one wait_for_data on another thread: true when it ends within ms. A
// wait still blocked then is released by a signal so the thread can be joined.
bool wait_ends_within(SensorQueue& q, int ms) {
    WaitProbe probe{&q};
    ThreadHandle t = nullptr;
    EXPECT_EQ(0, kr::thread::thread_create(&t, nullptr, wait_once, &probe));
    bool ended = becomes_true(probe.done, ms);
    if (!ended) kr::thread::event_signal(&q.data_ready);
    kr::thread::thread_join(t, nullptr);
    kr::thread::handle_close(&t);
    return ended;
}

TEST(SensorQueue, NewQueueIsEmptyAndZeroFilled) {
    Queue queue(100);
    EXPECT_EQ(Bytes(100, 0), Bytes(queue.q.storage, queue.q.storage + 100));
    int result = -2;
    queue.pop(result);
    EXPECT_EQ(0, result);
    expect_positions(queue.q, 0, 0, false);
}

TEST(SensorQueue, StoresABigEndianLengthThenTheMessage) {
    Queue queue(100);
    Bytes m = message(10, 1);
    EXPECT_EQ(0, queue.push(m));
    EXPECT_EQ((Bytes{0, 0, 0, 10}), Bytes(queue.q.storage, queue.q.storage + 4));
    EXPECT_EQ(m, Bytes(queue.q.storage + 4, queue.q.storage + 14));
    expect_positions(queue.q, 0, 14, false);

    int result = 0;
    queue.pop(result, 9);
    EXPECT_EQ(-1, result) << "a buffer one byte short takes nothing";
    expect_positions(queue.q, 0, 14, false);
    EXPECT_EQ(m, queue.pop(result, 10));
    expect_positions(queue.q, 14, 14, false);
    queue.pop(result);
    EXPECT_EQ(0, result);

    Queue big(70000);
    big.push(message(0x010203, 0));
    EXPECT_EQ((Bytes{0, 1, 2, 3}), Bytes(big.q.storage, big.q.storage + 4));
    EXPECT_EQ(message(0x010203, 0), big.pop(result, 0x010203));
}

TEST(SensorQueue, LengthFieldAndMessageWrapAtEveryByte) {
    // Empty at 96..99: the field is split 4+0, 3+1, 2+2, 1+3 and the message
    // starts at offset 0, 1, 2 or 3.
    for (std::uint32_t start : {96u, 97u, 98u, 99u}) {
        SCOPED_TRACE(start);
        Queue queue(100);
        queue.empty_at(start);
        Bytes m = message(10, static_cast<std::uint8_t>(start));
        queue.push(m);
        const std::uint8_t field[4] = {0, 0, 0, 10};
        for (std::uint32_t i = 0; i < 4; ++i) EXPECT_EQ(field[i], queue.at(start + i));
        for (std::uint32_t i = 0; i < 10; ++i) EXPECT_EQ(m[i], queue.at(start + 4 + i));
        const std::uint32_t end = start + 14 - 100;
        expect_positions(queue.q, start, end, true);
        EXPECT_EQ(m, queue.pop());
        expect_positions(queue.q, end, end, false);
    }
}

TEST(SensorQueue, RecordEndingAtTheRingEnd) {
    Queue queue(100);
    queue.empty_at(50);
    Bytes m = message(46, 3);
    queue.push(m);
    expect_positions(queue.q, 50, 0, true);
    EXPECT_EQ(m, queue.pop());
    expect_positions(queue.q, 0, 0, false);

    // An empty message whose field ends at the ring end: its message starts
    // right at the end of the ring.
    queue.empty_at(96);
    queue.push({});
    expect_positions(queue.q, 96, 0, true);
    int result = -2;
    queue.pop(result);
    EXPECT_EQ(0, result);
    expect_positions(queue.q, 0, 0, false);
}

TEST(SensorQueue, FullRingDiscardsTheOldestRecordsWhole) {
    Queue queue(100);
    Bytes first = message(40, 1), second = message(40, 2), third = message(20, 3);
    queue.push(first);
    queue.push(second);
    expect_positions(queue.q, 0, 88, false);
    // The writer fills 88..99, wraps, and drops the first record on reaching offset 0.
    queue.push(third);
    expect_positions(queue.q, 44, 12, true);
    EXPECT_EQ(second, queue.pop());
    EXPECT_EQ(third, queue.pop());
    int result = -2;
    queue.pop(result);
    EXPECT_EQ(0, result);
    expect_positions(queue.q, 12, 12, false);
}

TEST(SensorQueue, MessageOfCapacityLessFourFillsTheRing) {
    Queue queue(100);
    queue.push(message(10, 1));
    queue.push(message(20, 2));
    Bytes whole = message(96, 3);
    queue.push(whole);
    EXPECT_EQ(queue.q.read_pos, queue.q.write_pos);
    EXPECT_TRUE(queue.q.wrapped);
    EXPECT_EQ(whole, queue.pop());
    EXPECT_EQ(queue.q.read_pos, queue.q.write_pos);
    EXPECT_FALSE(queue.q.wrapped);
}

TEST(SensorQueue, ZeroLengthMessageIsAFieldOfZeros) {
    Queue queue(100);
    std::memset(queue.q.storage, 0xEE, 100);
    queue.push({});
    EXPECT_EQ((Bytes{0, 0, 0, 0, 0xEE}), Bytes(queue.q.storage, queue.q.storage + 5));
    expect_positions(queue.q, 0, 4, false);
    int result = -2;
    queue.pop(result, 0);
    EXPECT_EQ(0, result);
    expect_positions(queue.q, 4, 4, false);
}

std::string refusal(SensorQueue& q, std::uint32_t length) {
    Bytes m(length);
    try {
        push(q, m.data(), length);
    } catch (const SensorError& e) {
        return e.what();
    }
    return "not refused";
}

TEST(SensorQueue, RecordsLongerThanTheRingAreRefusedAndLeaveItAlone) {
    Queue queue(100);
    queue.push(message(30, 1));
    // Drain the push's signal so that a signal from a refused push would show.
    ASSERT_TRUE(wait_ends_within(queue.q, 5000));
    const Bytes before(queue.q.storage, queue.q.storage + 100);
    EXPECT_EQ("string length 101  is larger than the size of the queue 100", refusal(queue.q, 101));
    for (std::uint32_t n : {97u, 98u, 99u, 100u}) {
        EXPECT_EQ("string length " + std::to_string(n) +
                      " plus its 4-byte length field is larger than the size of the queue 100",
                  refusal(queue.q, n));
    }
    EXPECT_EQ(before, Bytes(queue.q.storage, queue.q.storage + 100));
    expect_positions(queue.q, 0, 34, false);
    EXPECT_FALSE(wait_ends_within(queue.q, 50)) << "a refused push signalled data_ready";
    EXPECT_EQ(message(30, 1), queue.pop());

    // pop reports lengths as int, so longer messages are refused too (checked
    // before the ring is touched, so a ring of that size is not needed).
    SensorQueue huge;
    huge.capacity = 0xFFFFFFFFu;
    try {
        push(huge, nullptr, 0x80000000u);
        ADD_FAILURE() << "not refused";
    } catch (const SensorError& e) {
        EXPECT_STREQ("string length 2147483648 is larger than the largest message the queue can return (2147483647)",
                     e.what());
    }
}

TEST(SensorQueue, TinyRingsRefuseWhatCannotFitAndStayInBounds) {
    for (std::uint32_t capacity = 0; capacity < 4; ++capacity) {
        Queue queue(capacity);
        const std::string size = std::to_string(capacity);
        for (std::uint32_t n = 0; n <= capacity; ++n) {
            EXPECT_EQ("string length " + std::to_string(n) +
                          " plus its 4-byte length field is larger than the size of the queue " + size,
                      refusal(queue.q, n));
        }
        EXPECT_EQ("string length " + std::to_string(capacity + 1) + "  is larger than the size of the queue " + size,
                  refusal(queue.q, capacity + 1));
        int result = -2;
        queue.pop(result);
        EXPECT_EQ(0, result);
    }
    // Four bytes hold exactly one empty message; each new one replaces the last.
    Queue queue(4);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(0, queue.push({}));
        EXPECT_TRUE(queue.q.wrapped);
        EXPECT_EQ(queue.q.read_pos, queue.q.write_pos);
    }
    int result = -2;
    queue.pop(result);
    EXPECT_EQ(0, result);
    expect_positions(queue.q, 0, 0, false);
    EXPECT_EQ("string length 1 plus its 4-byte length field is larger than the size of the queue 4",
              refusal(queue.q, 1));
}

TEST(SensorQueue, QueueMessageFeedsTheQueueAndDropsOnlyWhatNeverFits) {
    kr::test::LogCapture log;
    Queue queue(100);
    Bytes m = message(5, 9);
    EXPECT_EQ(0, queue_message(m.data(), 5, &queue.q));
    // A refused message is one failed event: logged, nothing stored, nothing raised.
    Bytes large(101);
    EXPECT_EQ(-1, queue_message(large.data(), 101, &queue.q));
    EXPECT_EQ(std::vector<std::string>{"ERROR - Process ETW event failed: string length 101  is larger than the "
                                       "size of the queue 100"},
              log.messages());
    EXPECT_EQ(m, queue.pop());
    int result = -2;
    queue.pop(result);
    EXPECT_EQ(0, result);
}

TEST(SensorQueue, FailedSignalStillStoresTheRecord) {
    Queue queue(100);
    queue.unlocked();
    EXPECT_EQ(-1, queue.push(message(3, 1)));
    EXPECT_EQ(message(3, 1), queue.pop());
}

TEST(SensorQueue, PushBetweenEmptyPopAndWaitEndsTheWaitAtOnce) {
    Queue queue(100);
    int result = -2;
    queue.pop(result);
    ASSERT_EQ(0, result);
    queue.push(message(8, 1));
    EXPECT_TRUE(wait_ends_within(queue.q, 5000));
    // The signal was used up: with no new push the next wait blocks.
    EXPECT_FALSE(wait_ends_within(queue.q, 50));
}

// Fault injection for create: the call numbered fail_at (1: malloc or the
// first creation) fails; allocations and frees are recorded.
struct Injection {
    int fail_at = 0;
    int calls = 0;
    void* allocated = nullptr;
    std::vector<void*> freed;
    bool fails() { return ++calls == fail_at; }
};
Injection* injection = nullptr;
// Left by a failed creation; the undoing that follows (its free) clears it.
constexpr std::int32_t kScriptedSyncError = 1455;
std::int32_t sync_error = 0;
std::int32_t scripted_sync_error() { return sync_error; }

void* failing_malloc(std::size_t size) {
    if (injection->fails()) {
        errno = ENOMEM;
        return nullptr;
    }
    return injection->allocated = kr::thread::memory_platform_api().malloc(size);
}
void recording_free(void* block) {
    injection->freed.push_back(block);
    sync_error = 0;
    kr::thread::memory_platform_api().free(block);
}
int failing_mutex(kr::thread::Mutex* mutex, const void* attributes) {
    if (injection->fails()) {
        *mutex = nullptr;
        sync_error = kScriptedSyncError;
        return -1;
    }
    return queue_sync_platform_api().mutex_create(mutex, attributes);
}
int failing_event(kr::thread::Event* event, const void* attributes) {
    if (injection->fails()) {
        *event = nullptr;
        sync_error = kScriptedSyncError;
        return -1;
    }
    return queue_sync_platform_api().event_create(event, attributes);
}

TEST(SensorQueue, CreateFailuresRaiseAndReleaseWhatWasMade) {
    const std::string text = kr::error::system_error_text(kScriptedSyncError);
    const std::string expected[] = {"", "mutex_create(ring_lock) failed: " + text,
                                    "mutex_create(wait_lock) failed: " + text,
                                    "event_create(data_ready) failed: " + text};
    const kr::thread::MemoryApi saved_memory = kr::thread::memory_api();
    const QueueSyncApi saved_sync = queue_sync_api();
    kr::thread::memory_api().malloc = failing_malloc;
    kr::thread::memory_api().free = recording_free;
    queue_sync_api() = {failing_mutex, failing_event, scripted_sync_error};
    std::vector<std::string> texts;
    std::vector<Injection> runs(4);
    for (int step = 0; step < 4; ++step) {
        injection = &runs[step];
        // Step 0 fails malloc; steps 1..3 count from the first creation.
        injection->fail_at = step == 0 ? 1 : step + 1;
        SensorQueue q;
        try {
            create(q, 123);
            texts.push_back("created");
            destroy(q);
        } catch (const SensorError& e) {
            texts.push_back(e.what());
        }
        EXPECT_EQ(nullptr, q.storage);
        EXPECT_EQ(nullptr, q.ring_lock);
        EXPECT_EQ(nullptr, q.wait_lock);
        EXPECT_EQ(nullptr, q.data_ready);
    }
    kr::thread::memory_api() = saved_memory;
    queue_sync_api() = saved_sync;
    injection = nullptr;

    EXPECT_EQ("malloc(123) failed: " + kr::error::crt_error_text(ENOMEM), texts[0]);
    EXPECT_TRUE(runs[0].freed.empty());
    for (int step = 1; step < 4; ++step) {
        EXPECT_EQ(expected[step], texts[step]);
        EXPECT_EQ(std::vector<void*>{runs[step].allocated}, runs[step].freed) << "ring not freed once";
    }
}

using ByteModel = kr::test::RingModel;

::testing::AssertionResult same_state(const ByteModel& model, const SensorQueue& q) {
    if (model.read_pos != q.read_pos || model.write_pos != q.write_pos || model.wrapped != q.wrapped) {
        return ::testing::AssertionFailure()
               << "model " << model.read_pos << "/" << model.write_pos << "/" << model.wrapped << ", queue "
               << q.read_pos << "/" << q.write_pos << "/" << q.wrapped;
    }
    if (model.capacity != 0 && std::memcmp(model.storage.data(), q.storage, model.capacity) != 0) {
        return ::testing::AssertionFailure() << "stored bytes differ";
    }
    return ::testing::AssertionSuccess();
}

// The counters against the model's own tally; the peak is tracked by the caller.
::testing::AssertionResult same_counts(const ByteModel& model, std::uint64_t refused, std::uint64_t peak,
                                       const QueueCounters& c) {
    const std::uint64_t want[] = {model.stored, refused, model.dropped, model.dropped_bytes,
                                  model.stored - model.dropped - model.popped, model.used(), peak};
    const std::uint64_t got[] = {c.queued.get(), c.refused.get(), c.dropped.get(), c.dropped_bytes.get(),
                                 c.in_queue.get(), c.bytes.get(), c.peak_bytes.get()};
    const char* names[] = {"queued", "refused", "dropped", "dropped_bytes", "in_queue", "bytes", "peak_bytes"};
    for (int i = 0; i < 7; ++i) {
        if (want[i] != got[i]) return ::testing::AssertionFailure() << names[i] << " " << got[i] << ", model " << want[i];
    }
    return ::testing::AssertionSuccess();
}

std::uint32_t random_length(std::mt19937& rng, std::uint32_t capacity) {
    auto below = [&](std::uint32_t n) { return static_cast<std::uint32_t>(rng() % n); };
    switch (below(10)) {
        case 0: return 0;
        case 1: case 2: case 3: return below(9);
        case 4: case 5: return capacity + 1 > 6 ? capacity + 1 - below(7) : below(capacity + 2);
        default: return below(capacity + 2);
    }
}

TEST(SensorQueue, MatchesTheByteByByteModel) {
    std::vector<std::uint32_t> capacities;
    for (std::uint32_t c = 0; c <= 64; ++c) capacities.push_back(c);
    capacities.insert(capacities.end(), {100, 257});
    Bytes out(300);
    for (std::uint32_t capacity : capacities) {
        for (std::uint32_t seed = 1; seed <= 8; ++seed) {
            SCOPED_TRACE("capacity " + std::to_string(capacity) + ", seed " + std::to_string(seed));
            std::mt19937 rng(capacity * 1000 + seed);
            Queue queue(capacity);
            // Single-threaded, so the locks can go: that keeps this test fast
            // where every lock call is slow (Wine).
            queue.unlocked();
            QueueCounters counters;
            queue.q.counters = &counters;
            ByteModel model(capacity);
            std::uint64_t refusals = 0, peak = 0;
            Bytes expected;
            // Gathering room from under one record to several.
            QueueBatch batch;
            create(batch, &queue.q, 8 + seed * 12);
            for (int op = 0; op < 1000; ++op) {
                SCOPED_TRACE("operation " + std::to_string(op));
                // Pushes outnumber pops so that the ring keeps overflowing.
                if (rng() % 100 < 15) {
                    // A run gathered by the batch is stored at its flush as the same pushes would store it.
                    std::vector<Bytes> run;
                    for (int k = 1 + static_cast<int>(rng() % 6); k > 0; --k) {
                        Bytes m = message(random_length(rng, capacity), static_cast<std::uint8_t>(rng()));
                        bool refused = false;
                        try {
                            batch_push(batch, m.data(), static_cast<std::uint32_t>(m.size()));
                        } catch (const SensorError&) {
                            refused = true;
                        }
                        ASSERT_EQ(m.size() + 4 > capacity, refused);
                        refusals += refused;
                        if (!refused) run.push_back(m);
                    }
                    flush(batch);
                    for (const Bytes& m : run) {
                        model.push(m);
                        peak = std::max(peak, model.used());
                    }
                } else if (rng() % 100 < 53) {
                    Bytes m = message(random_length(rng, capacity), static_cast<std::uint8_t>(rng()));
                    bool stored = model.push(m);
                    bool refused = false;
                    try {
                        queue.push(m);
                    } catch (const SensorError&) {
                        refused = true;
                    }
                    ASSERT_EQ(stored, !refused);
                    refusals += refused;
                    peak = std::max(peak, model.used());
                } else if (rng() % 2 == 0) {
                    std::uint32_t out_size = rng() % 4 == 0 ? static_cast<std::uint32_t>(rng() % (capacity + 1)) : 300;
                    int result = pop(queue.q, out.data(), out_size);
                    ASSERT_EQ(model.pop(expected, out_size), result);
                    if (result > 0) {
                        ASSERT_EQ(expected, Bytes(out.begin(), out.begin() + result));
                    }
                } else {
                    // Batches cut by the buffer, by the limit (0: the first record only) or by neither.
                    const std::uint32_t out_size = rng() % 4 == 0 ? static_cast<std::uint32_t>(rng() % (capacity + 9)) : 300;
                    const std::uint32_t limit = rng() % 4 == 0 ? 0 : static_cast<std::uint32_t>(rng() % (capacity * 2 + 1));
                    std::uint32_t records = 0, model_records = 0;
                    std::fill(out.begin(), out.end(), 0xEE);
                    int result = pop_batch(queue.q, out.data(), out_size, limit, &records);
                    ASSERT_EQ(model.pop_batch(expected, out_size, limit, model_records), result);
                    ASSERT_EQ(model_records, records);
                    if (result > 0) {
                        ASSERT_EQ(expected, Bytes(out.begin(), out.begin() + result));
                    }
                    ASSERT_TRUE(std::all_of(out.begin() + std::max(result, 0), out.end(), [](std::uint8_t b) { return b == 0xEE; }))
                        << "wrote past the batch";
                }
                ASSERT_TRUE(same_state(model, queue.q));
                ASSERT_TRUE(same_counts(model, refusals, peak, counters));
            }
            destroy(batch);
        }
    }
}

}  // namespace
}  // namespace kr::forward
