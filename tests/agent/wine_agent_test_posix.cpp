// The Windows build of the agent under Wine, driven from Linux: as a console
// process (command line, hello to a Linux-side collector, log beside the exe
// with CR LF line ends, stop by SIGINT: Wine ends the process on SIGTERM
// without running the handler), as a real service of Wine's service manager
// (sc.exe, and service_query.exe beside agent.exe for the controls accepted).
// Runs when AGENT_WIN_EXE names agent.exe.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/log_capture.h"
#include "support/loopback.h"
#include "support/tls_peer.h"

namespace {

namespace fs = std::filesystem;

long ms_since(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t).count();
}

int count(const std::string& text, const std::string& part) {
    int n = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

class WineAgent : public ::testing::Test {
protected:
    void SetUp() override {
        const char* exe = std::getenv("AGENT_WIN_EXE");
        if (!exe || !*exe) GTEST_SKIP() << "AGENT_WIN_EXE is not set";
        install(dir_.path());
    }
    // Puts agent.exe and its log folder into folder.
    void install(const std::string& folder) {
        home_ = folder;
        exe_ = folder + "/agent.exe";
        fs::create_directories(folder + "/log");
        fs::copy_file(std::getenv("AGENT_WIN_EXE"), exe_, fs::copy_options::overwrite_existing);
    }
    void start(const std::vector<std::string>& args) {
        std::vector<std::string> argv{"wine", exe_};
        argv.insert(argv.end(), args.begin(), args.end());
        process_.start(argv, dir_.file("stderr.txt"), false, dir_.path());
    }
    int wait_exit(int timeout_ms) { return process_.wait_exit(timeout_ms); }
    std::string read(const std::string& name) { return kr::test::read_file(dir_.file(name)); }
    std::string log() { return kr::test::read_file(home_ + "/log/dns-logger.log"); }
    // True once the log holds text at least `times` times.
    bool log_contains(const std::string& text, int timeout_ms, int times = 1) {
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (std::chrono::steady_clock::now() < until) {
            if (count(log(), text) >= times) return true;
            usleep(20000);
        }
        return false;
    }

    kr::test::TempDir dir_;
    std::string home_, exe_;
    kr::test::ChildProcess process_;
};

TEST_F(WineAgent, NoArgumentPrintsUsageAndExitsWithMinusOne) {
    start({});
    EXPECT_EQ(255, wait_exit(60000));
    std::string err = read("stderr.txt");
    EXPECT_EQ(0u, err.find("usage: agent <config-file>"));
    EXPECT_FALSE(fs::exists(dir_.file("log/dns-logger.log")));
}

// With TLS through Wine's Schannel (GnuTLS beneath) to OpenSSL servers: the first collector's
// certificate is not signed by tls-ca and is refused; the second names the target's address.
TEST_F(WineAgent, ConsoleRunSendsHelloOverTlsLogsWithCrLfAndStopsOnInterrupt) {
    const kr::test::TestPki pki;
    kr::test::LoopbackListener collector;
    kr::test::TlsPeer stranger(pki.pem("stranger"), pki.key("stranger"));
    kr::test::TlsPeer peer(pki.pem("server"), pki.key("server"), "", collector.port());
    std::ofstream(dir_.file("agent.conf")) << "logging on\nqueue-size 65536\ntls on\ntls-ca Z:" << pki.pem("ca")
                                           << "\ntarget 127.0.0.1:" << stranger.port() << " 2\ntarget 127.0.0.1:"
                                           << peer.port() << " 2\n";
    start({"agent.conf"});  // relative: resolved against the start directory, as before the chdir
    // The dispatcher gives up (1063) only after about 10 s under Wine.
    ASSERT_TRUE(collector.accept(60000));
    EXPECT_EQ((std::vector<std::uint8_t>{0, 0, 0, 6, 1, '3', '.', '6', '.', '8'}), collector.read(10, 10000));
    ASSERT_TRUE(log_contains("Started!\r\n", 20000));
    // Wine's ETW is a stub: StartTrace and EnableTraceEx2 succeed, OpenTrace is
    // refused. A consumer that cannot attach is said, and the agent runs on
    // (a session that cannot be started or enabled would end the run).
    ASSERT_TRUE(log_contains("ERROR - ETW session failed: OpenTrace() failed: ", 20000));
    process_.signal(SIGINT);
    EXPECT_EQ(0, wait_exit(30000));
    std::string log = read("log/dns-logger.log");
    EXPECT_NE(std::string::npos, log.find("]: agent version 3.6.8\r\n"));
    EXPECT_NE(std::string::npos, log.find("]: Stopping...\r\n"));
    EXPECT_NE(std::string::npos, log.find("]: Stopped!\r\n"));
    EXPECT_NE(std::string::npos, log.find("]: ERROR - Connect to 127.0.0.1:" + std::to_string(stranger.port()) +
                                          " failed: TLS handshake failed: collector certificate not accepted: "));
    EXPECT_EQ(log.size() - 2, log.rfind("\r\n"));
    // The system's text keeps its own CR LF: the line ends 0D 0D 0A 0D 0A.
    const auto failure = log.find("ERROR - ETW session failed: ");
    const auto next_line = log.find("]: ", failure);
    const auto ending = log.find("\r\r\n\r\n", failure);
    EXPECT_TRUE(ending != std::string::npos && ending < next_line) << log.substr(failure, next_line - failure);
    EXPECT_TRUE(collector.peer_closed(10000));
}

// agent.exe as an own-process service of Wine's service manager, one service
// per test under a name of its own, deleted at the end also after a failure.
// Wine's ETW is a stub, so these runs show the service machinery and the
// forwarder, not DNS events.
class WineService : public WineAgent {
protected:
    // One status as service_query.exe prints it: type, state, controls
    // accepted, Win32 exit code, service exit code, check point, wait hint.
    using Status = std::vector<unsigned long>;
    static Status reported(unsigned long state) { return {0x10, state, 5, 0, 0, 0, 10000}; }

    void SetUp() override {
        WineAgent::SetUp();
        if (IsSkipped()) return;
        query_exe_ = (fs::path(std::getenv("AGENT_WIN_EXE")).parent_path() / "service_query.exe").string();
        ASSERT_TRUE(fs::exists(query_exe_)) << query_exe_;
        name_ = "agent-test-" + std::to_string(getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name();
        install(dir_.file("Program Files"));  // the installer's default has a blank too
    }
    void TearDown() override {
        if (!created_) return;
        sc({"stop", name_});
        wait_until([&] { return sc_state() == 1; }, 20000);
        EXPECT_EQ(0, sc({"delete", name_})) << output_;
    }

    static std::string win_path(std::string path) {
        std::replace(path.begin(), path.end(), '/', '\\');
        return "Z:" + path;
    }
    // Runs a Windows program under Wine; its exit status, its output in output_.
    int wine(std::vector<std::string> args) {
        args.insert(args.begin(), "wine");
        kr::test::ChildProcess p;
        p.start(args, dir_.file("wine.out"), true);
        const int status = p.wait_exit(30000);
        output_ = read("wine.out");
        return status;
    }
    int sc(std::vector<std::string> args) {
        args.insert(args.begin(), "sc.exe");
        return wine(args);
    }
    // Registered as the installer does: both paths quoted, the configuration
    // file in the executable's folder.
    void create(const std::string& config_name) {
        const std::string command = "\"" + win_path(exe_) + "\" \"" + win_path(home_ + "/" + config_name) + "\"";
        ASSERT_EQ(0, sc({"create", name_, "binPath=", command})) << output_;
        created_ = true;
    }
    // A field of sc query ("STATE", "TYPE", "WIN32_EXIT_CODE"), -1 when absent.
    long sc_field(const std::string& key) const {
        std::istringstream in(output_);
        for (std::string line; std::getline(in, line);) {
            std::istringstream words(line);
            std::string word, colon;
            long value;
            if (words >> word >> colon >> value && word == key && colon == ":") return value;
        }
        return -1;
    }
    long sc_state() {
        sc({"query", name_});
        return sc_field("STATE");
    }
    Status status() {
        Status s;
        if (wine({query_exe_, name_}) != 0) return s;
        std::istringstream in(output_);
        for (unsigned long v; in >> v;) s.push_back(v);
        return s;
    }
    template <typename Done>
    bool wait_until(Done done, int timeout_ms) {
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (std::chrono::steady_clock::now() < until) {
            if (done()) return true;
            usleep(100000);
        }
        return false;
    }
    void write_config(const std::string& text) { std::ofstream(home_ + "/agent.conf") << text; }
    // The log's messages, one list per process id in the order the runs began.
    std::vector<std::vector<std::string>> runs() {
        std::vector<std::string> pids;
        std::vector<std::vector<std::string>> out;
        std::istringstream in(log());
        for (std::string line; std::getline(in, line);) {
            const auto open = line.find(" ["), end = line.find("]: ");
            if (open != 20 || end == std::string::npos) continue;  // a message's own continuation line
            const std::string pid = line.substr(open + 2, end - open - 2);
            auto at = std::find(pids.begin(), pids.end(), pid) - pids.begin();
            if (at == static_cast<long>(pids.size())) {
                pids.push_back(pid);
                out.emplace_back();
            }
            out[at].push_back(line.substr(end + 3, line.size() - end - 4));  // less "\r"
        }
        return out;
    }
    // Where each wanted message first appears after the one before it; -1
    // from the first that does not.
    static std::vector<long> positions(const std::vector<std::string>& messages,
                                       const std::vector<std::string>& wanted) {
        std::vector<long> at;
        auto from = messages.begin();
        for (const auto& w : wanted) {
            from = std::find_if(from, messages.end(), [&](const std::string& m) { return m.rfind(w, 0) == 0; });
            at.push_back(from == messages.end() ? -1 : from - messages.begin());
            if (from == messages.end()) break;
            ++from;
        }
        return at;
    }
    static void expect_in_order(const std::vector<std::string>& messages, const std::vector<std::string>& wanted) {
        const auto at = positions(messages, wanted);
        EXPECT_NE(-1, at.back()) << "not in order: " << wanted[at.size() - 1] << "\nin "
                                 << ::testing::PrintToString(messages);
    }

    std::string name_, query_exe_, output_;
    bool created_ = false;
};

TEST_F(WineService, RunsTwiceSendingHelloAndStopsInOrderWithExitCodeZero) {
    kr::test::LoopbackListener collector;
    const std::string target = "127.0.0.1:" + std::to_string(collector.port());
    write_config("logging on\nqueue-size 65536\ntarget " + target + " 2\n");
    create("agent.conf");
    for (int run = 1; run <= 2; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        ASSERT_EQ(0, sc({"start", name_})) << output_;
        ASSERT_TRUE(wait_until([&] { return sc_state() == 4; }, 20000)) << output_;
        EXPECT_EQ(10, sc_field("TYPE")) << "own process, 0x10: sc prints it in hex";
        EXPECT_EQ(reported(4), status());
        ASSERT_TRUE(collector.accept(20000));
        EXPECT_EQ((std::vector<std::uint8_t>{0, 0, 0, 6, 1, '3', '.', '6', '.', '8'}), collector.read(10, 10000));
        ASSERT_TRUE(log_contains("]: Started!\r\n", 20000, run));

        ASSERT_EQ(0, sc({"stop", name_})) << output_;
        ASSERT_TRUE(wait_until([&] { return sc_state() == 1; }, 20000)) << output_;
        EXPECT_EQ(0, sc_field("WIN32_EXIT_CODE"));
        EXPECT_EQ(reported(1), status());
        EXPECT_TRUE(collector.peer_closed(10000));
    }

    const std::string text = log();
    EXPECT_EQ(count(text, "\n"), count(text, "\r\n"));
    // Each start is a new process that goes through the whole sequence again,
    // the trace session included.
    const auto all = runs();
    ASSERT_EQ(2u, all.size()) << text;
    for (const auto& messages : all) {
        expect_in_order(messages, {"agent version 3.6.8", "Changing directory to: " + win_path(home_),
                                   "Starting...", "Starting sensor queue processor", "Starting ETW session",
                                   "Started!", "Stopping...", "Stopping all sessions", "Closing ETW trace...",
                                   "Stopping sensor queue processor", "Stopped!"});
        expect_in_order(messages, {"Starting sensor queue processor", "Connecting to " + target,
                                   "Connected to " + target, "Stopped!"});
        const auto trace =
            positions(messages, {"Starting ETW session", "Starting ETW trace...", "Opening ETW trace..."});
        ASSERT_EQ(3u, trace.size());
        ASSERT_NE(-1, trace[2]) << text;
        // Between them: the provider enabled, or the session of an earlier run found.
        const auto found =
            std::find_if(messages.begin() + trace[1], messages.begin() + trace[2], [](const std::string& m) {
                return m == "Enable DNS server provider for ETW trace..." ||
                       m == "ETW trace with name tarsel-agent already started!";
            });
        EXPECT_NE(messages.begin() + trace[2], found) << text;
    }
}

// Never started, the service shows exit code 1077; the agent's own stopped
// report carries ERROR_FILE_NOT_FOUND for a missing configuration file, and
// ERROR_PATH_NOT_FOUND for `logging on` without its folder.
TEST_F(WineService, MissingConfigurationOrLogFolderStopsWithItsCodeAndNoLog) {
    create("agent.conf");
    for (const auto& [config, code] : {std::pair<std::string, long>{"", 2}, {"logging on\n", 3}}) {
        if (!config.empty()) {
            write_config(config);
            fs::remove_all(home_ + "/log");
        }
        EXPECT_EQ(0, sc({"start", name_})) << output_;
        ASSERT_TRUE(wait_until([&] { return sc_state() == 1 && sc_field("WIN32_EXIT_CODE") == code; }, 20000))
            << output_;
        Status stopped = reported(1);
        stopped[3] = code;
        EXPECT_EQ(stopped, status());
    }
    EXPECT_FALSE(fs::exists(home_ + "/log/dns-logger.log"));
}

TEST_F(WineService, UnreachableTargetKeepsRunningAndAStopCutsThePause) {
    const std::string target = "127.0.0.1:" + std::to_string(kr::test::refused_port());
    write_config("logging on\nqueue-size 65536\ntarget " + target + " 1\n");
    create("agent.conf");
    ASSERT_EQ(0, sc({"start", name_})) << output_;
    ASSERT_TRUE(log_contains("]: ERROR - Connect to " + target + " failed: select() timed out", 20000));
    const auto pause_began = std::chrono::steady_clock::now();
    EXPECT_EQ(4, sc_state());

    ASSERT_EQ(0, sc({"stop", name_})) << output_;
    ASSERT_TRUE(wait_until([&] { return sc_state() == 1; }, 20000));
    // The pause is 10 s and looks at the stop every second; the rest is Wine's
    // process start-up for sc.exe.
    EXPECT_LT(ms_since(pause_began), 8000);
    EXPECT_EQ(reported(1), status());
    const auto all = runs();
    ASSERT_EQ(1u, all.size());
    expect_in_order(all[0], {"Connecting to " + target, "ERROR - Connect to " + target, "Stopping...",
                             "Stopping sensor queue processor", "Stopped!"});
}

TEST_F(WineService, StopDuringAConnectIsPendingUntilItsTimeOut) {
    const std::string target = "127.0.0.1:" + std::to_string(kr::test::refused_port());
    write_config("logging on\nqueue-size 65536\ntarget " + target + " 5\n");
    create("agent.conf");
    ASSERT_EQ(0, sc({"start", name_})) << output_;
    ASSERT_TRUE(log_contains("]: Connecting to " + target, 20000));
    const auto connect_began = std::chrono::steady_clock::now();

    ASSERT_EQ(0, sc({"stop", name_})) << output_;
    // The connect waits up to 5 s for its time-out.
    EXPECT_EQ(3, sc_state());
    EXPECT_EQ(reported(3), status());
    ASSERT_TRUE(wait_until([&] { return sc_state() == 1; }, 20000));
    // The time-out, then no pause: the sender sees the stop before it.
    EXPECT_LT(ms_since(connect_began), 10000);
    EXPECT_EQ(reported(1), status());
    const auto all = runs();
    ASSERT_EQ(1u, all.size());
    expect_in_order(all[0], {"Connecting to " + target, "Stopping...", "Stopping sensor queue processor",
                             "ERROR - Connect to " + target + " failed: select() timed out", "Stopped!"});
}

}  // namespace
