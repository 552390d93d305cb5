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

namespace {

using kr::error::system_error_text;
using Lines = std::vector<std::string>;

std::string status_text(ULONG status) { return system_error_text(kr::error::windows_error_code(status)); }

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

Script* script = nullptr;

template <class Pred>
bool eventually(Pred pred, int ms = 5000) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > until) return false;
        kr::thread::sleep_ms(2);
    }
    return true;
}

ULONG WINAPI scripted_start(PTRACEHANDLE handle, LPCSTR name, PEVENT_TRACE_PROPERTIES properties) {
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

ULONG WINAPI scripted_enable(TRACEHANDLE handle, LPCGUID provider, ULONG code, UCHAR level, ULONGLONG any,
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

DWORD scripted_error = 0;

TRACEHANDLE WINAPI scripted_open(PEVENT_TRACE_LOGFILEA logfile) {
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

DWORD scripted_last_error() { return script->open_fails ? scripted_error : trace_substitute_api().last_error(); }

ULONG WINAPI scripted_process(PTRACEHANDLE handles, ULONG count, LPFILETIME start, LPFILETIME end) {
    script->record("ProcessTrace");
    EXPECT_EQ(1u, count);
    EXPECT_EQ(nullptr, start);
    EXPECT_EQ(nullptr, end);
    if (script->process_waits_for_close) eventually([] { return script->called("CloseTrace"); });
    if (script->process_status != ~0u) return script->process_status;
    return trace_substitute_api().process_trace(handles, count, start, end);
}

ULONG WINAPI scripted_close(TRACEHANDLE handle) {
    script->record("CloseTrace");
    {
        std::lock_guard<std::mutex> g(script->lock);
        script->closed_handles.push_back(handle);
    }
    return trace_substitute_api().close_trace(handle);
}

ULONG WINAPI scripted_control(TRACEHANDLE handle, LPCSTR name, PEVENT_TRACE_PROPERTIES properties, ULONG code) {
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

TEST_F(EtwSessionTest, FirstRunCreatesEnablesOpensProcessesAndClosesOnStop) {
    holder_.start();
    ASSERT_TRUE(logged("Entering ETW trace processing loop..."));
    holder_.stop();
    EXPECT_EQ(nullptr, holder_.session);
    EXPECT_EQ((Lines{"Starting ETW trace...", "Enable DNS server provider for ETW trace...", "Opening ETW trace...",
                     "Entering ETW trace processing loop...", "Closing ETW trace...", "Closing ETW trace...",
                     "ETW session finished"}),
              log_.messages());
    EXPECT_EQ((Lines{"StartTrace", "EnableTraceEx2", "OpenTrace", "ProcessTrace", "CloseTrace", "CloseTrace"}),
              script_.snapshot());
}

// Windows reports the end through on_buffer as a cancellation, and a handle
// that the stop closed just before the loop started on it as invalid: after
// a requested stop either is the normal ending.
TEST_F(EtwSessionTest, CancelledAfterAStopEndsNormally) { expect_normal_end_of_a_stop(ERROR_CANCELLED); }
TEST_F(EtwSessionTest, HandleClosedByAStopEndsNormally) { expect_normal_end_of_a_stop(ERROR_INVALID_HANDLE); }

TEST_F(EtwSessionTest, PropertiesBlockCarriesTheSessionSettings) {
    holder_.start();
    ASSERT_TRUE(logged("Entering ETW trace processing loop..."));
    holder_.stop();
    const auto& block = script_.properties;
    ASSERT_EQ(133u, block.size());
    EVENT_TRACE_PROPERTIES p;
    std::memcpy(&p, block.data(), sizeof p);
    EXPECT_EQ(133u, p.Wnode.BufferSize);
    EXPECT_EQ(0, std::memcmp(&p.Wnode.Guid, &kSessionGuid, sizeof(GUID)));
    EXPECT_EQ(0x01A1C6BAu, p.Wnode.Guid.Data1);
    EXPECT_EQ(1u, p.Wnode.ClientContext);
    EXPECT_EQ(0x00020000u, p.Wnode.Flags);
    EXPECT_EQ(128u, p.BufferSize);
    EXPECT_EQ(0x100u, p.LogFileMode);
    EXPECT_EQ(1u, p.FlushTimer);
    EXPECT_EQ(120u, p.LoggerNameOffset);
    EXPECT_EQ(0u, p.LogFileNameOffset);
    EXPECT_EQ(0u, p.EnableFlags);
    EXPECT_EQ(0u, p.MinimumBuffers);
    EXPECT_EQ(0u, p.MaximumBuffers);
    EXPECT_STREQ("tarsel-agent", reinterpret_cast<const char*>(block.data() + 120));
}

TEST_F(EtwSessionTest, ExistingSessionIsConsumedWithoutEnablingTheProvider) {
    EtwSessionHolder first;
    first.start();
    ASSERT_TRUE(logged("Entering ETW trace processing loop..."));
    first.stop();  // the session itself stays registered, as on the system
    script_.calls.clear();
    kr::test::LogCapture log;
    holder_.start();
    ASSERT_TRUE(eventually([&] { return log.messages().size() >= 4; }));
    EXPECT_EQ((Lines{"Starting ETW trace...", "ETW trace with name tarsel-agent already started!",
                     "Opening ETW trace...", "Entering ETW trace processing loop..."}),
              log.messages());
    EXPECT_FALSE(script_.called("EnableTraceEx2"));
}

TEST_F(EtwSessionTest, StartTraceFailureEndsTheThreadAndStopStillJoins) {
    script_.start_status = 5;
    holder_.start();
    ASSERT_TRUE(logged(failed("StartTrace() failed: " + status_text(5))));
    EXPECT_EQ((Lines{"StartTrace"}), script_.snapshot());
    holder_.stop();
    EXPECT_EQ((Lines{"Starting ETW trace...", failed("StartTrace() failed: " + status_text(5)),
                     "Closing ETW trace..."}),
              log_.messages());
    // The handle was never opened: stop closes the invalid value it holds.
    ASSERT_EQ(1u, script_.closed_handles.size());
    EXPECT_EQ(INVALID_PROCESSTRACE_HANDLE, script_.closed_handles[0]);
}

TEST_F(EtwSessionTest, EachFailingCallIsLoggedOnce) {
    struct Case {
        const char* name;
        void (*arrange)(Script&);
        std::string text;
        Lines calls;
    };
    const Case cases[] = {
        {"enable", [](Script& s) { s.enable_status = 87; }, "EnableTraceEx2() failed: " + status_text(87),
         {"StartTrace", "EnableTraceEx2"}},
        {"open",
         [](Script& s) {
             s.open_fails = true;
             s.open_error = 5;
         },
         "OpenTrace() failed: " + status_text(5), {"StartTrace", "EnableTraceEx2", "OpenTrace"}},
        {"process", [](Script& s) { s.process_status = 6; }, "ProcessTrace() failed: " + status_text(6),
         {"StartTrace", "EnableTraceEx2", "OpenTrace", "ProcessTrace"}},
        // Cancelled with no stop requested is a failure like any other.
        {"cancelled", [](Script& s) { s.process_status = ERROR_CANCELLED; },
         "ProcessTrace() failed: " + status_text(1223),
         {"StartTrace", "EnableTraceEx2", "OpenTrace", "ProcessTrace"}},
        // Found at start but gone before processing: the open still succeeds.
        {"vanished", [](Script& s) { s.start_status = ERROR_ALREADY_EXISTS; },
         "ProcessTrace() failed: " + status_text(4201), {"StartTrace", "OpenTrace", "ProcessTrace"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Script fresh;
        script = &fresh;
        trace_substitute_reset();
        c.arrange(fresh);
        kr::test::LogCapture log;
        EtwSessionHolder holder;
        holder.start();
        // Wait for the whole line: an unbuffered line may be read half written.
        ASSERT_TRUE(eventually([&] {
            auto m = log.messages();
            return std::find(m.begin(), m.end(), failed(c.text)) != m.end();
        }));
        EXPECT_EQ(failed(c.text), log.messages().back());
        EXPECT_EQ(c.calls, fresh.snapshot());
        holder.stop();
        EXPECT_EQ("Closing ETW trace...", log.messages().back());
        script = &script_;
    }
}

TEST_F(EtwSessionTest, StartTwiceAndStopTwiceAreHarmless) {
    holder_.stop();  // without start: nothing at all
    EXPECT_TRUE(log_.messages().empty());
    holder_.start();
    EtwSession* first = holder_.session;
    holder_.start();
    EXPECT_EQ(first, holder_.session);
    ASSERT_TRUE(logged("Entering ETW trace processing loop..."));
    holder_.stop();
    auto lines = log_.messages();
    holder_.stop();
    EXPECT_EQ(lines, log_.messages());
    EXPECT_EQ(1, std::count(lines.begin(), lines.end(), "Starting ETW trace..."));
}

TEST_F(EtwSessionTest, StopBeforeTheTraceIsOpenedStillEndsTheThread) {
    script_.start_waits_for_close = true;  // StartTrace returns only after stop's CloseTrace
    holder_.start();
    auto begin = std::chrono::steady_clock::now();
    holder_.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(4));
    EXPECT_FALSE(script_.called("ProcessTrace"));
    auto lines = log_.messages();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ("ETW session finished", lines.back());
}

int failing_thread_create(kr::thread::ThreadHandle*, kr::thread::ThreadRoutine, void*) { return 8; }

TEST_F(EtwSessionTest, ThreadStartFailureRaisesAndStopOnlyForgets) {
    auto saved = kr::thread::thread_api();
    kr::thread::thread_api().create = failing_thread_create;
    try {
        holder_.start();
        ADD_FAILURE() << "start did not throw";
    } catch (const kr::net::NetError& e) {
        EXPECT_EQ("pthread_create() failed: " + system_error_text(8), e.what());
    }
    kr::thread::thread_api() = saved;
    EXPECT_NE(nullptr, holder_.session);
    holder_.stop();
    EXPECT_EQ(nullptr, holder_.session);
    EXPECT_TRUE(log_.messages().empty());
    EXPECT_TRUE(script_.snapshot().empty());
}

TEST_F(EtwSessionTest, PropertiesAllocationFailureIsLogged) {
    auto saved = kr::thread::memory_api();
    kr::thread::memory_api().malloc = [](std::size_t) -> void* {
        errno = ENOMEM;
        return nullptr;
    };
    holder_.start();
    ASSERT_TRUE(logged(failed("malloc(EVENT_TRACE_PROPERTIES:133) failed: " + kr::error::crt_error_text(ENOMEM))));
    EXPECT_TRUE(script_.snapshot().empty());  // no trace call after the failure
    holder_.stop();  // the session thread reads the seam until it ends
    kr::thread::memory_api() = saved;
}

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
    EXPECT_FALSE(query_trace_losses(losses));  // no session yet: unchanged
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
    ASSERT_TRUE(query_trace_losses(losses));
    EXPECT_GT(losses.events_lost, kEvents / 2);
    EXPECT_TRUE(eventually([&] { return delivered + losses.events_lost == kEvents; })) << delivered;
    EXPECT_EQ(0u, losses.realtime_buffers_lost);
    const auto calls = script->snapshot();
    EXPECT_EQ(2, std::count(calls.begin(), calls.end(), "ControlTrace"));
}

}  // namespace
}  // namespace kr::capture
