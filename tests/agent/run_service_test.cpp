#include "run_fixture.h"

namespace kr::agent {
namespace {

// True when the event is signalled within ms, consuming the signal. A waiter
// thread takes it; one still waiting then is released by a signal of ours.
bool signalled_within(kr::thread::Event* event, int ms) {
    struct Waiter {
        kr::thread::Event* event;
        std::atomic<bool> done{false};
        static std::uint32_t run(void* p) {
            auto* w = static_cast<Waiter*>(p);
            kr::thread::Mutex m = nullptr;
            kr::thread::mutex_create(&m, nullptr);
            kr::thread::mutex_lock(&m);
            kr::thread::event_wait(w->event, &m);
            kr::thread::mutex_unlock(&m);
            kr::thread::handle_close(&m);
            w->done = true;
            return 0;
        }
    } waiter{event};
    kr::thread::ThreadHandle t = nullptr;
    EXPECT_EQ(0, kr::thread::thread_create(&t, nullptr, Waiter::run, &waiter));
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!waiter.done && std::chrono::steady_clock::now() < until) kr::thread::sleep_ms(1);
    const bool signalled = waiter.done;
    if (!signalled) kr::thread::event_signal(event);
    kr::thread::thread_join(t, nullptr);
    kr::thread::handle_close(&t);
    return signalled;
}

ULONG WINAPI refused_start(PTRACEHANDLE, LPCSTR, PEVENT_TRACE_PROPERTIES) { return 5; }  // access denied

TEST_F(RunTest, ServiceReportsRunningThenStoppedAndHandlesControls) {
    write_config("logging on\n");
    script_.stop_during_startup = true;  // a stop control arrives while run starts up
    service_main(0, nullptr);
    ASSERT_EQ(3u, script_.statuses.size());
    const std::uint32_t states[] = {4, 3, 1};  // RUNNING, STOP_PENDING, STOPPED
    for (std::size_t i = 0; i < 3; ++i) {
        const auto& s = script_.statuses[i];
        EXPECT_EQ(states[i], s.current_state);
        EXPECT_EQ(0x10u, s.service_type);
        EXPECT_EQ(5u, s.controls_accepted);
        EXPECT_EQ(0u, s.win32_exit_code);
        EXPECT_EQ(0u, s.service_specific_exit_code);
        EXPECT_EQ(0u, s.check_point);
        EXPECT_EQ(10000u, s.wait_hint);
    }
    // The early request still stopped the service once start-up had finished.
    EXPECT_TRUE(in_order(log_lines(), {"Started!", "Stopping...", "Stopped!"}));

    script_.statuses.clear();
    service_control_handler(4);  // interrogate
    service_control_handler(2);  // pause
    EXPECT_TRUE(script_.statuses.empty());
    EXPECT_FALSE(signalled_within(&stop_event, 50));
    service_control_handler(5);  // shutdown
    ASSERT_EQ(1u, script_.statuses.size());
    EXPECT_EQ(3u, script_.statuses[0].current_state);
    EXPECT_TRUE(signalled_within(&stop_event, 5000));

    // A configuration file that cannot be read stops the service with
    // ERROR_FILE_NOT_FOUND, so that its recovery actions and monitors see it.
    script_.statuses.clear();
    script_.stop_during_startup = false;
    config_path = "no-such-dir/agent.conf";
    service_main(0, nullptr);
    ASSERT_EQ(2u, script_.statuses.size());
    EXPECT_EQ(4u, script_.statuses[0].current_state);
    EXPECT_EQ(1u, script_.statuses[1].current_state);
    EXPECT_EQ(2u, script_.statuses[1].win32_exit_code);

    // A trace session that cannot be created ends the run in order: STOPPED
    // with StartTrace's status (access denied), so that recovery restarts it.
    script_.statuses.clear();
    config_path = config_file_.c_str();
    kr::capture::etw_api().start_trace = refused_start;
    service_main(0, nullptr);
    ASSERT_EQ(2u, script_.statuses.size());
    EXPECT_EQ(5u, script_.statuses[1].win32_exit_code);
    const Lines lines = log_lines();
    const auto failed = std::find_if(lines.begin(), lines.end(), [](const std::string& line) {
        return line.rfind("ERROR - ETW session failed: StartTrace() failed: ", 0) == 0;
    });
    EXPECT_TRUE(failed != lines.end() && in_order(Lines(failed, lines.end()), {"Stopping...", "Stopped!"}));
}

TEST_F(RunTest, FailedHandlerRegistrationReportsStoppedWithItsCode) {
    write_config("logging on\n");
    script_.registration_fails = true;
    script_.error = 1061;
    service_main(0, nullptr);
    ASSERT_EQ(1u, script_.statuses.size());
    EXPECT_EQ(kServiceStopped, script_.statuses[0].current_state);
    EXPECT_EQ(1061u, script_.statuses[0].win32_exit_code);
    EXPECT_FALSE(std::filesystem::exists(dir_.file("log/dns-logger.log")));  // run did not run
    EXPECT_EQ(0, report_service_status(kServiceStopped, 7, 42));
    EXPECT_EQ(1066u, script_.statuses.back().win32_exit_code);
    EXPECT_EQ(42u, script_.statuses.back().service_specific_exit_code);
}

TEST_F(RunTest, DispatcherFailureOtherThanConsoleIsRaised) {
    char name[] = "agent";
    char arg[] = "x.conf";
    char* argv[] = {name, arg, nullptr};
    try {
        agent_main(2, argv);
        ADD_FAILURE() << "no exception";
    } catch (const kr::error::UnknownError& e) {
        EXPECT_EQ("StartServiceCtrlDispatcher() failed: " + system_error_text(5), e.what());
    }
    EXPECT_STREQ("x.conf", config_path);
}

TEST_F(RunTest, ExecutableDirectoryCutsAtTheLastSeparator) {
#if defined(_WIN32)
    // Only a backslash separates; the log path then mixes both separators.
    const std::string sep = "\\";
    script_.exe_path = "C:\\agent/bin\\agent.exe";
    EXPECT_EQ("C:\\agent/bin", executable_directory());
    script_.exe_path = "C:\\agent/agent.exe";
    EXPECT_EQ("C:", executable_directory());
#else
    const std::string sep = "/";
#endif
    struct Case {
        std::string path, directory;
    } cases[] = {{sep + "opt" + sep + "agent" + sep + "agent", sep + "opt" + sep + "agent"},
                 {"agent", "."},
                 {sep + "agent", ""}};
    for (const auto& c : cases) {
        script_.exe_path = c.path;
        EXPECT_EQ(c.directory, executable_directory()) << c.path;
    }
}

}  // namespace
}  // namespace kr::agent
