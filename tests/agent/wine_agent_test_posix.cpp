// The Windows build of the agent as a process under Wine, driven from Linux:
// command line, console run, hello to a Linux-side collector, log beside the
// exe with CR LF line ends, stop by SIGINT (Wine ends the process on SIGTERM
// without running the handler). Runs when AGENT_WIN_EXE names agent.exe.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

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

namespace {

namespace fs = std::filesystem;

class WineAgent : public ::testing::Test {
protected:
    void SetUp() override {
        const char* exe = std::getenv("AGENT_WIN_EXE");
        if (!exe || !*exe) GTEST_SKIP() << "AGENT_WIN_EXE is not set";
        exe_ = dir_.file("agent.exe");
        fs::copy_file(exe, exe_, fs::copy_options::overwrite_existing);
        fs::create_directories(dir_.file("log"));
    }
    void start(const std::vector<std::string>& args) {
        std::vector<std::string> argv{"wine", exe_};
        argv.insert(argv.end(), args.begin(), args.end());
        process_.start(argv, dir_.file("stderr.txt"), false, dir_.path());
    }
    int wait_exit(int timeout_ms) { return process_.wait_exit(timeout_ms); }
    std::string read(const std::string& name) { return kr::test::read_file(dir_.file(name)); }
    bool log_contains(const std::string& text, int timeout_ms) {
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (std::chrono::steady_clock::now() < until) {
            if (read("log/dns-logger.log").find(text) != std::string::npos) return true;
            usleep(20000);
        }
        return false;
    }

    kr::test::TempDir dir_;
    std::string exe_;
    kr::test::ChildProcess process_;
};

TEST_F(WineAgent, NoArgumentPrintsUsageAndExitsWithMinusOne) {
    start({});
    EXPECT_EQ(255, wait_exit(60000));
    std::string err = read("stderr.txt");
    EXPECT_EQ(0u, err.find("usage: agent <config-file>"));
    EXPECT_FALSE(fs::exists(dir_.file("log/dns-logger.log")));
}

TEST_F(WineAgent, ConsoleRunSendsHelloLogsWithCrLfAndStopsOnInterrupt) {
    kr::test::LoopbackListener collector;
    std::ofstream(dir_.file("agent.conf"))
        << "logging on\nqueue-size 65536\ntarget 127.0.0.1:" << collector.port() << " 2\n";
    start({"agent.conf"});  // relative: resolved against the start directory, as before the chdir
    // The dispatcher gives up (1063) only after about 10 s under Wine.
    ASSERT_TRUE(collector.accept(60000));
    EXPECT_EQ((std::vector<std::uint8_t>{0, 0, 0, 6, 1, '3', '.', '6', '.', '8'}), collector.read(10, 10000));
    ASSERT_TRUE(log_contains("Started!\r\n", 20000));
    // Wine's ETW is a stub: the session fails on its own thread, the agent runs on.
    ASSERT_TRUE(log_contains("ERROR - ETW session failed: ", 20000));
    process_.signal(SIGINT);
    EXPECT_EQ(0, wait_exit(30000));
    std::string log = read("log/dns-logger.log");
    EXPECT_NE(std::string::npos, log.find("]: agent version 3.6.8\r\n"));
    EXPECT_NE(std::string::npos, log.find("]: Stopping...\r\n"));
    EXPECT_NE(std::string::npos, log.find("]: Stopped!\r\n"));
    EXPECT_EQ(log.size() - 2, log.rfind("\r\n"));
    EXPECT_TRUE(collector.peer_closed(10000));
}

}  // namespace
