// Every allocation, socket call and trace call of a whole in-process agent
// run fails once, in turn. A first run counts the calls (by function, and
// for allocations by size too, which names the buffer); then one run per call
// makes just that call fail. Each failure must give its line, the agent must
// not crash, the records the collector gets must be whole and in order, and
// a stop request must still end the run.
#include "fault_seams.h"

// The allocation after an injected failure changes errno and the pending
// socket error (fault_seams.h says why).
void* operator new(std::size_t size) {
    if (clobber_next_allocation) {
        clobber_next_allocation = false;
        errno = EDOM;
        clobbered_socket_error = 1;
    }
    void* block = std::malloc(size == 0 ? 1 : size);
    if (!block) throw std::bad_alloc();
    return block;
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return operator new(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return operator new(size, tag); }
// Every form goes back to free. Not inlined: the compiler would see malloc's
// block go to delete and object.
__attribute__((noinline)) void operator delete(void* block) noexcept { std::free(block); }
__attribute__((noinline)) void operator delete(void* block, std::size_t) noexcept { std::free(block); }
__attribute__((noinline)) void operator delete[](void* block) noexcept { std::free(block); }
__attribute__((noinline)) void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
__attribute__((noinline)) void operator delete(void* block, const std::nothrow_t&) noexcept { std::free(block); }
__attribute__((noinline)) void operator delete[](void* block, const std::nothrow_t&) noexcept { std::free(block); }

namespace kr::agent {
namespace {

class FaultInjection : public ::testing::Test {
protected:
    void SetUp() override {
        saved_service_ = service_api();
        service_api().module_handle = fake_module_handle;
        service_api().module_file_name = fake_file_name;
        service_api().change_directory = fake_chdir;
        service_api().last_error = no_error;
        exe_path = dir_.file("agent");
        std::filesystem::create_directories(dir_.file("log"));
        real_memory = kr::thread::memory_api();
        real_net = kr::transport::net_api();
        saved_etw_ = kr::capture::etw_api();
        kr::capture::etw_api() = kr::substitute::trace_substitute_api();
        // The system's helper cannot read the substitute's events (and aborts under Wine).
        saved_tdh_ = kr::capture::tdh_api();
        kr::capture::tdh_api() = kr::substitute::tdh_substitute_api();
        real_etw = kr::capture::etw_api();
        if (!stop_event) kr::thread::event_create(&stop_event, nullptr);
        for (const auto& q : queries_) expected_.push_back(event_message(q));
    }
    void TearDown() override {
        kr::thread::memory_api() = real_memory;
        kr::transport::net_api() = real_net;
        kr::capture::etw_api() = saved_etw_;
        kr::capture::tdh_api() = saved_tdh_;
        kr::substitute::trace_substitute_reset();
        service_api() = saved_service_;
        kr::log::log_set_stream(nullptr);
        kr::config::targets.clear();
        kr::config::queue_size = kr::config::kDefaultQueueSize;
    }

    // A stop signal left by an earlier run would end the next one at once.
    static void drain_stop_event() { kr::test::drain_event(&stop_event); }

    void install(Seam seam) {
        if (seam == Seam::kMemory) {
            kr::thread::memory_api().malloc = failing_malloc;
            kr::thread::memory_api().realloc = failing_realloc;
        } else if (seam == Seam::kSockets) {
            kr::transport::NetApi& net = kr::transport::net_api();
            net.socket = failing_socket;
            net.ioctlsocket = failing_ioctl;
            net.inet_addr = failing_inet_addr;
            net.connect = failing_connect;
            net.select_write = failing_select;
            net.send = failing_send;
            net.last_error = failing_last_error;
            net.shutdown = failing_shutdown;
            net.closesocket = failing_closesocket;
            net.startup = failing_startup;
        } else {
            kr::capture::EtwApi& etw = kr::capture::etw_api();
            etw.start_trace = failing_start_trace;
            etw.enable_trace_ex2 = failing_enable;
            etw.open_trace = failing_open_trace;
            etw.process_trace = failing_process_trace;
            etw.close_trace = failing_close_trace;
            etw.last_error = failing_etw_last_error;
        }
    }
    void uninstall() {
        kr::thread::memory_api() = real_memory;
        kr::transport::net_api() = real_net;
        kr::capture::etw_api() = real_etw;
    }

    Lines log_lines() const {
        Lines out;
        std::ifstream in(dir_.file("log/dns-logger.log"));
        std::string line;
        while (std::getline(in, line)) {
            const auto at = line.find("]: ");
            if (at != std::string::npos) {
                out.push_back(line.substr(at + 3));
            } else if (!out.empty()) {
                out.back() += "\n" + line;  // system texts may end in CR LF
            }
        }
        return out;
    }
    static bool has_line(const Lines& lines, const Expectation& e) {
        for (const auto& line : lines) {
            if (e.line_is_prefix ? line.compare(0, e.line.size(), e.line) == 0 : line == e.line) return true;
        }
        return false;
    }

    static std::uint32_t run_thread(void* done) {
        run();
        static_cast<std::atomic<bool>*>(done)->store(true);
        return 0;
    }

    // One whole run with `seam` installed and call (key, ordinal) failing
    // (none for an empty key). Stops the agent once what `e` expects has
    // happened, or after a bounded wait; returns what the collector got and
    // the log. `e` is filled here, as its texts name the collector's port.
    Collected run_once(Seam seam, const std::string& key, int ordinal, Expectation& e, Lines& lines) {
        kr::log::log_set_stream(nullptr);
        std::filesystem::remove(dir_.file("log/dns-logger.log"));
        kr::substitute::trace_substitute_reset();
        kr::config::targets.clear();
        kr::config::queue_size = kr::config::kDefaultQueueSize;
        kr::test::LoopbackListener listener;
        port_ = listener.port();
        e = key.empty() ? Expectation{"", false, false, static_cast<int>(queries_.size()), true}
                        : expect(seam, key, ordinal);
        const std::string capture = test::prepare_capture(dir_, queries_);
        std::ofstream(dir_.file("agent.conf")) << "logging on\nqueue-size " << kQueueSize << "\ntarget 127.0.0.1:"
                                               << port_ << " 2\n"
                                               << capture;
        config_path_ = dir_.file("agent.conf");
        config_path = config_path_.c_str();
        drain_stop_event();

        injector.reset(key, ordinal);
        install(seam);
        std::atomic<bool> done{false};
        kr::thread::ThreadHandle thread = nullptr;
        EXPECT_EQ(0, kr::thread::thread_create(&thread, nullptr, run_thread, &done));

        Collected got;
        // Long enough for one failed connection and the 10 s pause after it: a
        // loaded machine (or Wine) can miss the first attempt.
        const auto settle_by = Clock::now() + std::chrono::seconds(25);
        while (Clock::now() < settle_by && !done) {
            got.take(listener);
            const bool line_ok = e.line.empty() || has_line(log_lines(), e);
            const bool events_ok = e.events < 0 || got.events() >= static_cast<std::size_t>(e.events);
            const bool hello_ok = !e.connects || !got.records.empty();
            if (line_ok && events_ok && hello_ok) break;
        }
        kr::thread::event_signal(&stop_event);
        const auto stop_by = Clock::now() + std::chrono::seconds(15);
        while (!done && Clock::now() < stop_by) got.take(listener);
        EXPECT_TRUE(done.load()) << "the run did not end after a stop request";
        kr::thread::thread_join(thread, nullptr);
        kr::thread::handle_close(&thread);
        uninstall();
        if (unclosed_socket != kr::transport::kInvalidSocket) {
            real_net.closesocket(unclosed_socket.exchange(kr::transport::kInvalidSocket));
        }
        lines = log_lines();
        return got;
    }

    // The records must be the hello and then the queries' messages in order,
    // each whole, with none made up.
    void check_records(const Collected& got) {
        if (got.records.empty()) return;
        EXPECT_EQ(kHelloPayload, got.records[0]);
        std::size_t next = 0;
        for (std::size_t i = 1; i < got.records.size(); ++i) {
            while (next < expected_.size() && expected_[next] != got.records[i]) ++next;
            EXPECT_LT(next, expected_.size()) << "record " << i << " is no query's message, or out of order";
            ++next;
        }
    }

    Expectation expect(Seam seam, const std::string& key, int ordinal) const {
        const std::string connect = "ERROR - Connect to 127.0.0.1:" + std::to_string(port_) + " failed: ";
        const std::string send = "ERROR - Send data to 127.0.0.1:" + std::to_string(port_) + " failed: ";
        const int total = static_cast<int>(queries_.size());
        const int code = test::injected_socket_error();
        Expectation e;
        if (seam == Seam::kMemory) {
            const std::string nomem = " failed: " + kr::error::crt_error_text(ENOMEM);
            // The queue, and the 256 KiB that gather a buffer's messages for it.
            if (key == "malloc(" + std::to_string(kQueueSize) + ")" || key == "malloc(262144)") {
                e = {"ERROR - Run failure: " + key + nomem, false, true, 0, false};
            } else if (key == "malloc(10)" || key == "malloc(4096)") {
                e = {"ERROR - Sensor queue processor failed: " + key + nomem, false, false, -1, false};
            } else if (key.compare(0, 7, "malloc(") == 0) {
                e = {"ERROR - ETW session failed: malloc(EVENT_TRACE_PROPERTIES:" + key.substr(7) + nomem, false,
                     false, 0, true};
            } else if (key == "realloc(8192)") {
                // The sender's buffer, for the large message; the others went before it.
                e = {send + key + nomem, false, false, total - 1, true};
            } else {
                // A decoder buffer: only that event is lost.
                e = {"ERROR - Process ETW event failed: realloc(", true, false, total - 1, true};
            }
        } else if (seam == Seam::kSockets) {
            if (key == "socket") e = {connect + failure_text("socket()", code), false, false, 0, false};
            if (key == "ioctlsocket") e = {connect + failure_text("ioctlsocket(FIONBIO)", code), false, false, 0, false};
            if (key == "connect") e = {connect + failure_text("connect(127.0.0.1)", code), false, false, 0, false};
            if (key == "inet_addr") e = {"ERROR - ", true, false, 0, false};  // no such address to reach
            if (key == "select") {
                e = ordinal == 1 ? Expectation{connect + failure_text("select()", code), false, false, 0, false}
                                 : Expectation{send + failure_text("select()", code), false, false, -1, true};
            }
            if (key == "send") e = {send + failure_text("send()", code), false, false, -1, true};
            // Results nobody acts on: the run goes on as if they had worked.
            if (key == "startup" || key == "shutdown" || key == "closesocket") e = {"", false, false, total, true};
        } else {
            const std::string session = "ERROR - ETW session failed: ";
            const std::string status_text = system_error_text(kr::error::windows_error_code(kInjectedStatus));
            if (key == "StartTrace" || key == "EnableTraceEx2" || key == "OpenTrace" || key == "ProcessTrace") {
                e = {session + key + "() failed: " + status_text, false, false, 0, true};
            } else {
                // A close that fails: the loop still ends at the stop request.
                e = {"", false, false, total, true};
            }
        }
        return e;
    }

    // The counting run, then one run per counted call.
    void fail_each_call(Seam seam) {
        Lines lines;
        Expectation e;
        Collected got = run_once(seam, "", 0, e, lines);
        std::string log_text;
        for (const auto& line : lines) log_text += "\n  " + line;
        ASSERT_EQ(queries_.size(), got.events()) << "the run without failures lost messages; its log:" << log_text;
        check_records(got);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ("Stopped!", lines.back());
        for (const auto& line : lines) EXPECT_NE(0u, line.rfind("ERROR - ", 0)) << line;

        int points = 0;
        std::string counted;
        for (const auto& [key, count] : injector.counted()) counted += " " + key + " x" + std::to_string(count);
        std::printf("calls:%s\n", counted.c_str());
        for (const auto& [key, count] : injector.counted()) {
            for (int ordinal = 1; ordinal <= count; ++ordinal) {
                SCOPED_TRACE(key + " #" + std::to_string(ordinal));
                ++points;
                got = run_once(seam, key, ordinal, e, lines);
                EXPECT_TRUE(injector.fired()) << "the call was not made again";
                if (!e.line.empty()) {
                    std::string log;
                    for (const auto& line : lines) log += "\n  " + line;
                    EXPECT_TRUE(has_line(lines, e)) << "no line " << e.line << " in" << log;
                }
                if (seam == Seam::kMemory) {
                    // The error number is the one the failed call left, in the C library's words.
                    const std::string nomem = " failed: " + kr::error::crt_error_text(ENOMEM);
                    for (const auto& line : lines) {
                        if (line.find("alloc(") == std::string::npos) continue;
                        EXPECT_TRUE(line.size() > nomem.size() &&
                                    line.compare(line.size() - nomem.size(), nomem.size(), nomem) == 0)
                            << line;
                    }
                }
                ASSERT_FALSE(lines.empty());
                if (e.run_ends) {
                    EXPECT_EQ(e.line, lines.back());
                } else {
                    EXPECT_EQ("Stopped!", lines.back());
                }
                if (e.events >= 0) {
                    EXPECT_EQ(static_cast<std::size_t>(e.events), got.events());
                }
                if (!e.connects) {
                    EXPECT_FALSE(got.connected && !got.records.empty()) << "the collector got data";
                }
                check_records(got);
            }
        }
        ::testing::Test::RecordProperty("injection_points", points);
        std::printf("%d injection points\n", points);
    }

    kr::test::TempDir dir_;
    std::vector<CapturedQuery> queries_ = traffic();
    std::vector<Bytes> expected_;
    std::string config_path_;
    std::uint16_t port_ = 0;
    ServiceApi saved_service_{};
    kr::capture::EtwApi saved_etw_{};
    kr::capture::TdhApi saved_tdh_{};
};

TEST_F(FaultInjection, EveryAllocationFailsOnceInTurn) { fail_each_call(Seam::kMemory); }

// Every call but htons and WSAGetLastError, which cannot fail.
TEST_F(FaultInjection, EverySocketCallFailsOnceInTurn) { fail_each_call(Seam::kSockets); }

// Every call but the last-error read after a failed open.
TEST_F(FaultInjection, EveryTraceCallFailsOnceInTurn) { fail_each_call(Seam::kTrace); }

}  // namespace
}  // namespace kr::agent
