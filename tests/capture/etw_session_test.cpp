#include "etw_session_fixture.h"

namespace kr::capture {
namespace {

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

}  // namespace
}  // namespace kr::capture
