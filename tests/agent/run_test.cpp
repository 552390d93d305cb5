#include "run_fixture.h"

namespace kr::agent {
namespace {

TEST_F(RunTest, StartsAndStopsInOrderWithEveryLine) {
    write_config("logging on\nqueue-size 65536\n");
    kr::thread::ThreadHandle t = nullptr;
    ASSERT_EQ(0, kr::thread::thread_create(&t, nullptr, run_thread, nullptr));
    ASSERT_TRUE(wait_for_line("Entering ETW trace processing loop..."));
    ASSERT_TRUE(wait_for_line("Started!"));
    kr::thread::event_signal(&stop_event);
    kr::thread::thread_join(t, nullptr);
    Lines lines = log_lines();
    ASSERT_FALSE(lines.empty());
    // The configuration is read before the log opens: the version line comes first.
    EXPECT_EQ("agent version 3.6.8", lines.front());
    EXPECT_TRUE(in_order(lines, {"agent version 3.6.8", "Changing directory to: " + dir_.path(), "Starting...",
                                 "Sensor queue size: 65536 bytes", "Starting sensor queue processor",
                                 "Starting ETW session", "Started!", "Stopping...",
                                 "Stopping all sessions", "Closing ETW trace...", "Closing ETW trace...",
                                 "ETW session finished", "Stopping sensor queue processor", "Stopped!"}));
    EXPECT_TRUE(in_order(lines, {"Starting ETW session", "Starting ETW trace...",
                                 "Enable DNS server provider for ETW trace...", "Opening ETW trace...",
                                 "Entering ETW trace processing loop...", "Stopping..."}));
    EXPECT_EQ("Stopped!", lines.back());
    EXPECT_EQ(Lines{dir_.path()}, script_.directories);
    EXPECT_EQ(65536u, kr::config::queue_size);
    EXPECT_EQ(0, control_calls.load()) << "the session is never queried without stats-interval";
    // Without stats-interval the log holds these lines and no other (the
    // session thread's lines may come in any order beside the run's).
    Lines own;
    for (const auto& line : lines) {
        if (line.rfind("Capture ", 0) != 0) own.push_back(line);  // the Linux capture's own lines
    }
    Lines want = {"agent version 3.6.8", "Changing directory to: " + dir_.path(), "Starting...",
                  "Sensor queue size: 65536 bytes", "Starting sensor queue processor", "Starting ETW session",
                  "Starting ETW trace...",
                  "Enable DNS server provider for ETW trace...", "Opening ETW trace...",
                  "Entering ETW trace processing loop...", "Started!", "Stopping...", "Stopping all sessions",
                  "Closing ETW trace...", "Closing ETW trace...", "ETW session finished",
                  "Stopping sensor queue processor", "Stopped!"};
    std::sort(own.begin(), own.end());
    std::sort(want.begin(), want.end());
    EXPECT_EQ(want, own);
}

using kr::test::parse_stats;
using kr::test::Stats;

// A known number of queries into a small ring while the only collector is
// late: the ring overflows, and the last Stats line (before "Stopped!")
// accounts for every event; the collector gets exactly what it says was sent.
TEST_F(RunTest, StatsLinesAccountForEveryEventOfAnOverflowingRun) {
    constexpr int kQueries = 300;
    std::vector<test::CapturedQuery> queries;
    for (int i = 0; i < kQueries; ++i) {
        queries.push_back({{10, 0, static_cast<std::uint8_t>(i >> 8), static_cast<std::uint8_t>(i)}, {10, 0, 0, 1},
                           kr::test::dns_message(static_cast<std::uint16_t>(i), false, 0,
                                                 "q" + std::to_string(i) + ".example.test")});
    }
    // Last, larger than the whole ring: refused.
    test::CapturedQuery big{{10, 9, 9, 9}, {10, 0, 0, 1}, kr::test::dns_message(9999, false, 0, "big.example.test")};
    big.dns.resize(3000, 0xAB);
    queries.push_back(big);
    const std::string capture = test::prepare_capture(dir_, queries);
    const std::uint16_t port = kr::test::refused_port();
    std::ofstream(config_file_) << "logging on\nqueue-size 2048\nstats-interval 1\netw-buffers 1\ntarget 127.0.0.1:"
                                << port << " 1\n" << capture;
    first_query_denied = true;
    // The system's helper cannot read the substitute's events (and aborts under Wine).
    const kr::capture::TdhApi saved_tdh = kr::capture::tdh_api();
    kr::capture::tdh_api() = kr::substitute::tdh_substitute_api();

    kr::thread::ThreadHandle t = nullptr;
    ASSERT_EQ(0, kr::thread::thread_create(&t, nullptr, run_thread, nullptr));
    const std::string target = "127.0.0.1:" + std::to_string(port);
    const bool refused = wait_for_line("ERROR - Connect to " + target + " failed: select() timed out");
    // Late: it listens only once the first attempt has failed; the sender comes back after its pause.
    kr::test::LoopbackListener collector(port);
    const bool accepted = refused && collector.accept(20000);
    std::vector<Bytes> records;
    Bytes stream;
    auto take = [&](int timeout_ms) {
        const Bytes chunk = collector.read(1 << 16, timeout_ms);
        stream.insert(stream.end(), chunk.begin(), chunk.end());
        kr::test::split_records(stream, records);
        return !chunk.empty();
    };
    // Until the sender has drained the ring: nothing more arrives for a while.
    if (accepted) {
        while (take(1500)) {
        }
    }
    kr::thread::event_signal(&stop_event);
    kr::thread::thread_join(t, nullptr);
    kr::capture::tdh_api() = saved_tdh;
    if (accepted) take(1000);
    ASSERT_TRUE(refused);
    ASSERT_TRUE(accepted);

    const Lines lines = log_lines();
    std::vector<Stats> stats;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].rfind("Stats: ", 0) == 0) stats.push_back(parse_stats(lines[i]));
    }
    ASSERT_GE(stats.size(), 3u) << "one a second while waiting, one at the end";
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(0u, lines[lines.size() - 2].rfind("Stats: ", 0)) << "the last Stats line comes just before Stopped!";
    const Stats& s = stats.back();
    EXPECT_EQ(kQueries + 1u, s.at("events"));
    EXPECT_EQ(1u, s.at("refused"));
    EXPECT_EQ(s.at("events"), s.at("queued") + s.at("refused"));
    EXPECT_EQ(0u, s.at("in_queue")) << "the sender was waiting for data";
    EXPECT_EQ(s.at("queued"), s.at("sent") + s.at("dropped") + s.at("in_queue") + s.at("in_hand"));
    EXPECT_GT(s.at("dropped"), 0u);
    EXPECT_EQ((Stats{{"resent", 0}, {"connects", 1}, {"breaks", 0}, {"connect_failed_1", 1}, {"seen_256", kQueries + 1},
                     {"non_ipv4", 0}, {"queue_capacity", 2048}}),
              (Stats{{"resent", s.at("resent")}, {"connects", s.at("connects")}, {"breaks", s.at("breaks")},
                     {"connect_failed_1", s.at("connect_failed_1")}, {"seen_256", s.at("seen_256")},
                     {"non_ipv4", s.at("non_ipv4")}, {"queue_capacity", s.at("queue_capacity")}}));
    EXPECT_LE(s.at("queue_peak_bytes"), 2048u);
    // One query of the session per line; its own buffers lost nothing. The
    // first, denied, is one line and leaves its counts unknown; the next says
    // once what the session was granted (etw-buffers 1 raised to 2).
    EXPECT_EQ(static_cast<int>(stats.size()), control_calls.load());
    EXPECT_EQ(0u, stats[0].count("etw_events_lost") + stats[0].count("etw_realtime_buffers_lost"));
    EXPECT_TRUE(in_order(lines, {"etw-buffers 1 raised to 2 (the fewest a trace session takes)",
                                 "ERROR - ETW trace query failed: " +
                                     kr::error::failure_text("ControlTrace()", kr::error::windows_error_code(5)),
                                 "ETW trace buffers: 2 of 128 KB, minimum 2, maximum 2"}));
    for (const std::string once : {"ERROR - ETW trace query failed: ", "ETW trace buffers: "}) {
        EXPECT_EQ(1, std::count_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(once, 0) == 0; }));
    }
    EXPECT_EQ(0u, s.at("etw_events_lost"));
    EXPECT_EQ(0u, s.at("etw_realtime_buffers_lost"));
    EXPECT_GE(s.at("paused_ms"), 9000u);
    if (s.count("packets")) {  // the Linux build's capture
        EXPECT_EQ(kQueries + 1u, s.at("packets"));
        EXPECT_EQ(kQueries + 1u, s.at("dns_messages"));
    }

    // The collector got the hello and exactly the newest `sent` queries, in order.
    ASSERT_EQ(s.at("sent") + 1, records.size());
    EXPECT_EQ((Bytes{1, '3', '.', '6', '.', '8'}), records[0]);
    std::uint64_t bytes = 0;
    for (std::size_t i = 1; i < records.size(); ++i) {
        const auto& q = queries[kQueries - s.at("sent") + i - 1];
        EXPECT_EQ(kr::test::event_message(test::kCaptureSeconds, test::address_text(q.client),
                                          test::address_text(q.server), 0, q.dns),
                  records[i])
            << "record " << i;
        bytes += 4 + records[i].size();
    }
    EXPECT_EQ(bytes, s.at("sent_bytes"));
    // Counters since the start: no line goes back.
    for (std::size_t i = 1; i < stats.size(); ++i) {
        for (const char* name : {"events", "queued", "dropped", "sent", "connects", "paused_ms"}) {
            EXPECT_LE(stats[i - 1].at(name), stats[i].at(name)) << name << " in line " << i;
        }
    }
}

TEST_F(RunTest, LoggingNotExactlyOnWritesNothingAndLogFileMovesTheLog) {
    for (const char* value : {"ON", "yes", "1", "on-ish", "on"}) {
        write_config(std::string("logging ") + value + "\nlog-file " + dir_.file("moved.log") + "\n");
        kr::thread::event_signal(&stop_event);  // stop as soon as start-up is done
        run();
        EXPECT_FALSE(std::filesystem::exists(dir_.file("log/dns-logger.log"))) << value;
        EXPECT_EQ(std::string(value) == "on",  // log-file moves the log, only when it is on
                  kr::test::LogCapture::read_binary(dir_.file("moved.log")).find("]: Stopped!") != std::string::npos);
    }
    // A log asked for that cannot open ends the run: the path's status, nothing started.
    script_.directories.clear();
    write_config("logging on\nlog-file " + dir_.file("no-such-dir/moved.log") + "\n");
    EXPECT_EQ(3u, run());
    EXPECT_TRUE(script_.directories.empty());
}

TEST_F(RunTest, StopRequestedBeforeTheWaitEndsTheRunRightAfterStartUp) {
    write_config("logging on\n");
    kr::thread::event_signal(&stop_event);
    run();
    Lines lines = log_lines();
    EXPECT_TRUE(in_order(lines, {"Started!", "Stopping...", "Stopped!"}));
}

TEST_F(RunTest, MissingConfigurationEndsTheRunWithNothingLogged) {
    config_path = "no-such-dir/agent.conf";
    EXPECT_EQ(2u, run());
    EXPECT_FALSE(std::filesystem::exists(dir_.file("log/dns-logger.log")));
    EXPECT_TRUE(script_.directories.empty());
}

TEST_F(RunTest, DirectoryFailureAfterTheLogOpenedIsARunFailure) {
    write_config("logging on\n");
    script_.module_failures_after = 1;  // the first lookup (for the log path) works
    script_.error = 126;
    run();
    EXPECT_EQ((Lines{"agent version 3.6.8", "ERROR - Run failure: GetModuleHandle() failed: " + system_error_text(126)}),
              log_lines());
    script_.error = 122;
    script_.module_failures_after = -1;
    try {
        script_.file_name_fails = true;
        executable_directory();
        ADD_FAILURE() << "no exception";
    } catch (const kr::error::UnknownError& e) {
        EXPECT_EQ("GetModuleFileName() failed: " + system_error_text(122), e.what());
    }
}

// Records the allocations and frees of the C runtime seam, in order.
struct AllocationLog {
    std::mutex lock;
    std::vector<std::pair<char, std::pair<void*, std::size_t>>> events;
    std::size_t fail_size = 0;
} allocations;

void* logging_malloc(std::size_t size) {
    if (size == allocations.fail_size) {
        errno = ENOMEM;
        return nullptr;
    }
    void* p = kr::thread::memory_platform_api().malloc(size);
    std::lock_guard<std::mutex> g(allocations.lock);
    allocations.events.push_back({'m', {p, size}});
    return p;
}
void logging_free(void* p) {
    {
        std::lock_guard<std::mutex> g(allocations.lock);
        allocations.events.push_back({'f', {p, 0}});
    }
    kr::thread::memory_platform_api().free(p);
}

struct MemoryScope {
    MemoryScope(std::size_t fail_size) : saved(kr::thread::memory_api()) {
        allocations.events.clear();
        allocations.fail_size = fail_size;
        kr::thread::memory_api().malloc = logging_malloc;
        kr::thread::memory_api().free = logging_free;
    }
    ~MemoryScope() { kr::thread::memory_api() = saved; }
    kr::thread::MemoryApi saved;
};

TEST_F(RunTest, QueueAllocationFailureIsARunFailure) {
    write_config("logging on\nqueue-size 777777\n");
    MemoryScope memory(777777);
    EXPECT_EQ(kErrorServiceSpecific, run()) << "a failure, not a success";
    EXPECT_EQ("ERROR - Run failure: malloc(777777) failed: " + kr::error::crt_error_text(ENOMEM), log_lines().back());
}

int thread_failures_from = 0;
int thread_calls = 0;
int counting_thread_create(kr::thread::ThreadHandle* t, kr::thread::ThreadRoutine r, void* a) {
    if (thread_calls++ >= thread_failures_from) return 8;
    return kr::thread::thread_platform_api().create(t, r, a);
}

TEST_F(RunTest, ThreadStartFailuresStopTheForwarderBeforeTheQueueGoes) {
    for (int failing : {0, 1}) {  // 0: the sender thread, 1: the session thread
        SCOPED_TRACE(failing);
        kr::log::log_set_stream(nullptr);  // the earlier run left its log open
        std::filesystem::remove(dir_.file("log/dns-logger.log"));
        write_config("logging on\nqueue-size 555555\n");
        thread_failures_from = failing;
        thread_calls = 0;
        auto saved = kr::thread::thread_api();
        kr::thread::thread_api().create = counting_thread_create;
        {
            MemoryScope memory(0);
            run();
        }
        kr::thread::thread_api() = saved;
        Lines lines = log_lines();
        EXPECT_EQ("ERROR - Run failure: pthread_create() failed: " + system_error_text(8), lines.back());
        EXPECT_EQ(0, std::count(lines.begin(), lines.end(), "Started!"));
        // The queue's ring is freed last; with a running sender its buffer went first.
        void* ring = nullptr;
        void* buffer = nullptr;
        for (const auto& e : allocations.events) {
            if (e.first == 'm' && e.second.second == 555555) ring = e.second.first;
            if (e.first == 'm' && e.second.second == 4096) buffer = e.second.first;
        }
        ASSERT_NE(nullptr, ring);
        auto freed_at = [&](void* p) {
            for (std::size_t i = 0; i < allocations.events.size(); ++i)
                if (allocations.events[i].first == 'f' && allocations.events[i].second.first == p) return i;
            return allocations.events.size();
        };
        ASSERT_LT(freed_at(ring), allocations.events.size());
        if (failing == 1) {
            ASSERT_NE(nullptr, buffer);
            EXPECT_LT(freed_at(buffer), freed_at(ring));
        } else {
            EXPECT_EQ(nullptr, buffer);
        }
    }
}

}  // namespace
}  // namespace kr::agent
