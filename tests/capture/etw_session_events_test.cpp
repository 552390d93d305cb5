#include "etw_session_fixture.h"

namespace kr::capture {
namespace {

// Collects the messages the holder's callback receives; throws on request.
struct Sink {
    std::mutex lock;
    std::vector<std::vector<std::uint8_t>> messages;
    std::atomic<bool> throw_next{false};

    static int collect(const std::uint8_t* data, std::uint32_t length, void* context) {
        auto* sink = static_cast<Sink*>(context);
        if (sink->throw_next) throw kr::sensor::SensorError("string length 9  is larger than the size of the queue 8");
        std::lock_guard<std::mutex> g(sink->lock);
        sink->messages.emplace_back(data, data + length);
        return 0;
    }
    std::size_t count() {
        std::lock_guard<std::mutex> g(lock);
        return messages.size();
    }
};

constexpr std::int64_t kSecond = 10000000;
const std::uint8_t kPacket[12] = {0x12, 0x34, 0x01, 0x00, 0, 1, 0, 0, 0, 0, 0, 0};

TEST_F(EtwSessionTest, EventsReachTheHolderCallbackInOrder) {
    auto feed = std::make_shared<FeedSource>();
    trace_set_event_source(feed);
    Sink sink;
    holder_.set_callback(Sink::collect, &sink);
    holder_.start();
    ASSERT_TRUE(logged("Entering ETW trace processing loop..."));
    DnsEventBuilder builder;
    EventRecordBuilder other;
    GUID stranger = kSessionGuid;  // any provider but the DNS server's is not enabled
    other.start(stranger, 256, kEpochOffset);
    feed->push(*other.finish());
    for (int i = 0; i < 3; ++i) {
        std::string client = "192.0.2." + std::to_string(10 + i);
        feed->push(*builder.build(256 + i, kEpochOffset + (i + 1) * kSecond, 0, "192.0.2.1", client, kPacket,
                                  sizeof kPacket));
    }
    ASSERT_TRUE(eventually([&] { return sink.count() == 3; }));
    for (int i = 0; i < 3; ++i) {
        const auto& m = sink.messages[i];
        ASSERT_EQ(39u, m.size());
        EXPECT_EQ(2, m[0]);
        EXPECT_EQ(i + 1, m[4]);
        EXPECT_EQ("192.0.2." + std::to_string(10 + i), std::string(m.begin() + 6, m.begin() + 16));
    }
    // A callback removed while running: events are still decoded, then dropped.
    holder_.set_callback(nullptr, nullptr);
    feed->push(*builder.build(256, kEpochOffset, 0, "192.0.2.1", "192.0.2.99", kPacket, sizeof kPacket));
    ASSERT_TRUE(eventually([&] { return feed->pending() == 0; }));
    holder_.stop();
    EXPECT_EQ(3u, sink.count());
    EXPECT_EQ("ETW session finished", log_.messages().back());
}

TEST_F(EtwSessionTest, CallbackFailureEndsTheSessionThroughTheLoop) {
    auto feed = std::make_shared<FeedSource>();
    trace_set_event_source(feed);
    Sink sink;
    sink.throw_next = true;
    holder_.set_callback(Sink::collect, &sink);
    holder_.start();
    ASSERT_TRUE(logged("Entering ETW trace processing loop..."));
    DnsEventBuilder builder;
    feed->push(*builder.build(257, kEpochOffset, 0, "192.0.2.1", "192.0.2.10", kPacket, sizeof kPacket));
    ASSERT_TRUE(logged("ERROR - ETW session failed: string length 9  is larger than the size of the queue 8"));
    sink.throw_next = false;
    // The thread has ended: nothing more is decoded.
    feed->push(*builder.build(257, kEpochOffset, 0, "192.0.2.1", "192.0.2.10", kPacket, sizeof kPacket));
    kr::thread::sleep_ms(300);
    EXPECT_EQ(0u, sink.count());
    auto begin = std::chrono::steady_clock::now();
    holder_.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(2));
    EXPECT_EQ("Closing ETW trace...", log_.messages().back());
}

// What the substitute hands to a consumer's callbacks, in order: "event N"
// (N: the event's second) and "buffer".
struct Consumer {
    std::mutex lock;
    std::vector<std::string> calls;
    std::atomic<bool> hold_next{false};  // the next event's callback waits for release (and clears it)
    std::atomic<bool> release{false};
    BOOL buffer_result = TRUE;
    TRACEHANDLE close_in_buffer = 0;  // closed by the buffer callback when set

    Lines snapshot() {
        std::lock_guard<std::mutex> g(lock);
        return calls;
    }
};
Consumer* consumer = nullptr;

void WINAPI consumer_event(PEVENT_RECORD record) {
    {
        std::lock_guard<std::mutex> g(consumer->lock);
        const auto second = (record->EventHeader.TimeStamp.QuadPart - kEpochOffset) / kSecond;
        consumer->calls.push_back("event " + std::to_string(second));
    }
    if (consumer->hold_next.exchange(false)) eventually([] { return consumer->release.load(); });
}

ULONG WINAPI consumer_buffer(PEVENT_TRACE_LOGFILEA) {
    std::lock_guard<std::mutex> g(consumer->lock);
    consumer->calls.push_back("buffer");
    if (consumer->close_in_buffer) trace_substitute_api().close_trace(consumer->close_in_buffer);
    return consumer->buffer_result;
}

// ProcessTrace on a thread of its own, as the session runs it.
struct Processing {
    explicit Processing(TRACEHANDLE h) : handle(h), thread([this] {
        status = trace_substitute_api().process_trace(&handle, 1, nullptr, nullptr);
        done = true;
    }) {}
    ~Processing() { thread.join(); }
    TRACEHANDLE handle;
    std::atomic<ULONG> status{~0u};
    std::atomic<bool> done{false};
    std::thread thread;
};

TEST_F(EtwSessionTest, SubstituteEndsProcessingAsWindowsDoes) {
    const EtwApi& etw = trace_substitute_api();
    Consumer c;
    consumer = &c;
    auto feed = std::make_shared<FeedSource>();
    trace_set_event_source(feed);
    EVENT_TRACE_LOGFILEA logfile{};
    logfile.LoggerName = const_cast<LPSTR>("stand-in");
    logfile.ProcessTraceMode = PROCESS_TRACE_MODE_REAL_TIME | PROCESS_TRACE_MODE_EVENT_RECORD;
    logfile.EventRecordCallback = consumer_event;
    logfile.BufferCallback = consumer_buffer;


    std::vector<std::uint8_t> block(sizeof(EVENT_TRACE_PROPERTIES) + 16, 0);
    auto* properties = reinterpret_cast<EVENT_TRACE_PROPERTIES*>(block.data());
    properties->Wnode.BufferSize = static_cast<ULONG>(block.size());
    properties->LogFileMode = EVENT_TRACE_REAL_TIME_MODE;
    properties->LoggerNameOffset = sizeof(EVENT_TRACE_PROPERTIES);
    TRACEHANDLE controller = 0;
    ASSERT_EQ(ERROR_SUCCESS, etw.start_trace(&controller, "stand-in", properties));
    ASSERT_EQ(ERROR_SUCCESS, etw.enable_trace_ex2(controller, &kDnsServerProviderGuid, 1, 4, 0, 0, 0, nullptr));
    DnsEventBuilder builder;
    auto push = [&](int second) {
        feed->push(*builder.build(256, kEpochOffset + second * kSecond, 0, "192.0.2.1", "192.0.2.10", kPacket,
                                  sizeof kPacket));
    };

    // A close during processing is pending: what arrived before it is still
    // delivered, with a buffer callback after the last, and nothing after it.
    {
        TRACEHANDLE handle = etw.open_trace(&logfile);
        c.hold_next = true;
        push(1);
        Processing p(handle);
        ASSERT_TRUE(eventually([&] { return !c.hold_next; }));
        push(2);
        push(3);
        EXPECT_EQ(ERROR_CTX_CLOSE_PENDING, etw.close_trace(handle));
        push(4);
        c.release = true;
        ASSERT_TRUE(eventually([&] { return p.done.load(); }));
        EXPECT_EQ(ERROR_SUCCESS, p.status.load());
        Lines calls = c.snapshot();
        ASSERT_FALSE(calls.empty());
        EXPECT_EQ("buffer", calls.back());
        calls.erase(std::remove(calls.begin(), calls.end(), "buffer"), calls.end());  // the timer's, if any
        EXPECT_EQ((Lines{"event 1", "event 2", "event 3"}), calls);
        EXPECT_EQ(ERROR_INVALID_HANDLE, etw.close_trace(handle));
    }
    // FALSE from the buffer callback cancels, even with a close right behind it.
    {
        c.calls.clear();
        TRACEHANDLE handle = etw.open_trace(&logfile);  // takes the event left over, second 4
        c.buffer_result = FALSE;
        c.close_in_buffer = handle;
        Processing p(handle);
        ASSERT_TRUE(eventually([&] { return p.done.load(); }));
        EXPECT_EQ(ERROR_CANCELLED, p.status.load());
        EXPECT_EQ((Lines{"event 4", "buffer"}), c.snapshot());
    }
    consumer = nullptr;
}

TEST_F(EtwSessionTest, MessageTooLargeForTheQueueCostsOnlyThatEvent) {
    auto feed = std::make_shared<FeedSource>();
    trace_set_event_source(feed);
    kr::forward::SensorQueue queue;
    kr::forward::create(queue, 100);
    holder_.set_callback(kr::forward::queue_message, &queue);
    holder_.start();
    ASSERT_TRUE(logged("Entering ETW trace processing loop..."));
    DnsEventBuilder builder;
    const std::vector<std::uint8_t> big(200, 0xAB);  // a 227-byte message
    feed->push(*builder.build(257, kEpochOffset, 0, "192.0.2.1", "192.0.2.10", big.data(), 200));
    feed->push(*builder.build(257, kEpochOffset, 0, "192.0.2.1", "192.0.2.11", kPacket, sizeof kPacket));
    EXPECT_TRUE(logged("ERROR - Process ETW event failed: string length 227  is larger than the size of the queue 100"));
    std::uint8_t out[100];
    int length = 0;
    EXPECT_TRUE(eventually([&] { return (length = kr::forward::pop(queue, out, sizeof out)) != 0; }));
    EXPECT_EQ(39, length);
    holder_.stop();
    kr::forward::destroy(queue);
    for (const auto& line : log_.messages()) EXPECT_NE(0u, line.rfind("ERROR - ETW session failed", 0)) << line;
}

// The server writes on while the consumer stalls: the session's buffers (as
// etw-buffers sets them) fill, what finds no room is lost, and the read-only
// query counts it. The session itself never queries.
TEST_F(EtwSessionTest, StalledConsumerLosesWhatTheBuffersCannotHoldAndTheQueryCountsIt) {
    auto feed = std::make_shared<FeedSource>();
    trace_set_event_source(feed);
    TraceLosses losses{7, 7};
    EXPECT_EQ(ERROR_WMI_INSTANCE_NOT_FOUND, query_trace_losses(losses));  // no session yet: unchanged
    static std::atomic<bool> stalled{true};
    static std::atomic<std::uint64_t> delivered{0};
    holder_.set_callback([](const std::uint8_t*, std::uint32_t, void*) {
        while (stalled) kr::thread::sleep_ms(1);
        ++delivered;
        return 0;
    }, nullptr);
    holder_.buffers = 2;
    holder_.start();
    ASSERT_TRUE(logged("Entering ETW trace processing loop..."));
    std::unique_lock<std::mutex> copied(script->lock);
    const auto* properties = reinterpret_cast<const EVENT_TRACE_PROPERTIES*>(script->properties.data());
    EXPECT_EQ(std::make_pair(ULONG{2}, ULONG{2}), std::make_pair(properties->MinimumBuffers, properties->MaximumBuffers));
    copied.unlock();
    DnsEventBuilder builder;
    const std::vector<std::uint8_t> packet(400, 0);
    constexpr std::uint64_t kEvents = 2000;  // about 1 MB into two 128 KB buffers
    for (std::uint64_t i = 0; i < kEvents; ++i) {
        feed->push(*builder.build(256, 0, 0, "192.0.2.1", "192.0.2.10", packet.data(), 400));
    }
    stalled = false;
    ASSERT_TRUE(eventually([&] { return feed->pending() == 0; }));
    ASSERT_EQ(ERROR_SUCCESS, query_trace_losses(losses));
    EXPECT_GT(losses.events_lost, kEvents / 2);
    EXPECT_TRUE(eventually([&] { return delivered + losses.events_lost == kEvents; })) << delivered;
    EXPECT_EQ(0u, losses.realtime_buffers_lost);
    const auto calls = script->snapshot();
    EXPECT_EQ(2, std::count(calls.begin(), calls.end(), "ControlTrace"));
}

}  // namespace
}  // namespace kr::capture
