// The real agent program as a process: command line, exit status, log file,
// signals, and the hello that a loopback collector receives.
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
#include <regex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "support/child_process.h"
#include "support/empty_pcap.h"
#include "support/log_capture.h"
#include "support/loopback.h"
#include "support/tls_peer.h"

namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

// A copy of the agent in its own directory, so that its log goes there.
class AgentProcess {
public:
    explicit AgentProcess(const kr::test::TempDir& dir) : dir_(dir) {
        exe_ = dir.file("agent");
        fs::copy_file(AGENT_PATH, exe_, fs::copy_options::overwrite_existing);
    }
    // With output_too, standard output goes to stderr_text() as well.
    void start(const std::vector<std::string>& args, const std::string& directory = "", bool output_too = false) {
        std::vector<std::string> argv{exe_};
        argv.insert(argv.end(), args.begin(), args.end());
        process_.start(argv, dir_.file("stderr.txt"), output_too, directory);
    }
    // The time at which the log first holds `count` lines starting with prefix.
    std::chrono::steady_clock::time_point when_logged(const std::string& prefix, std::size_t count,
                                                      int timeout_ms) const {
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (std::chrono::steady_clock::now() < until) {
            std::size_t n = 0;
            for (const auto& line : log_messages()) n += line.rfind(prefix, 0) == 0 ? 1 : 0;
            if (n >= count) return std::chrono::steady_clock::now();
            usleep(5000);
        }
        ADD_FAILURE() << "no " << count << " lines starting " << prefix;
        return std::chrono::steady_clock::now();
    }
    int wait_exit(int timeout_ms) { return process_.wait_exit(timeout_ms); }
    // Signals once the agent catches the signal: its handlers come late in the start.
    void signal(int number) {
        const std::uint64_t bit = std::uint64_t{1} << (number - 1);
        const std::string status = "/proc/" + std::to_string(process_.pid()) + "/status";
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        for (;;) {
            std::ifstream in(status);
            std::string line;
            while (std::getline(in, line) && line.compare(0, 7, "SigCgt:") != 0) {
            }
            if (line.size() > 7 && (std::stoull(line.substr(7), nullptr, 16) & bit)) break;
            if (std::chrono::steady_clock::now() > until) {
                ADD_FAILURE() << "signal " << number << " is not caught";
                break;
            }
            usleep(2000);
        }
        process_.signal(number);
    }
    std::string stderr_text() const { return kr::test::read_file(dir_.file("stderr.txt")); }
    std::string log_path() const { return dir_.file("log/dns-logger.log"); }
    Lines log_messages() const {
        static const std::regex prefix(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ \[\d+\]: ([\s\S]*)$)");
        Lines out;
        std::ifstream in(log_path());
        std::string line;
        while (std::getline(in, line)) {
            std::smatch m;
            out.push_back(std::regex_match(line, m, prefix) ? std::string(m[1]) : "BAD PREFIX: " + line);
        }
        return out;
    }
    bool wait_for_line(const std::string& line, int timeout_ms = 5000) const {
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (std::chrono::steady_clock::now() < until) {
            auto lines = log_messages();
            if (std::find(lines.begin(), lines.end(), line) != lines.end()) return true;
            usleep(5000);
        }
        return false;
    }

private:
    const kr::test::TempDir& dir_;
    std::string exe_;
    kr::test::ChildProcess process_;
};

// Agent configurations replay an empty capture, so that no test opens a live one.
void write_config(const kr::test::TempDir& dir, const std::string& path, const std::string& text) {
    kr::test::write_empty_pcap(dir.file("empty.pcap"));
    std::ofstream(path) << text << "capture file:" << dir.file("empty.pcap") << "\n";
}

TEST(AgentProcess, NoArgumentPrintsUsageAndExitsWithMinusOne) {
    kr::test::TempDir dir;
    fs::create_directories(dir.file("log"));
    AgentProcess agent(dir);
    agent.start({});
    EXPECT_EQ(255, agent.wait_exit(5000));
    EXPECT_EQ("usage: agent <config-file>\n", agent.stderr_text());
    EXPECT_FALSE(fs::exists(agent.log_path()));
}

// A directory as configuration fails to open as a missing file does (as on Windows).
TEST(AgentProcess, MissingConfigurationExitsOneWithOneLineNamingTheFile) {
    for (const auto& [name, reason] : {std::pair{"missing.conf", "No such file or directory"}, {"log", "Is a directory"}}) {
        kr::test::TempDir dir;
        fs::create_directories(dir.file("log"));
        AgentProcess agent(dir);
        agent.start({dir.file(name)});
        EXPECT_EQ(1, agent.wait_exit(5000)) << name;
        EXPECT_EQ("agent: cannot read the configuration file: fopen(" + dir.file(name) + ") failed: " + reason + "\n",
                  agent.stderr_text());
        EXPECT_FALSE(fs::exists(agent.log_path()));
    }
}

// Logging on without the log's folder ends the run: status 1 and one line on
// standard error naming the file (a capture that cannot open: capture_e2e).
TEST(AgentProcess, ALogThatCannotOpenEndsTheRunWithOneLine) {
    kr::test::TempDir dir;
    write_config(dir, dir.file("agent.conf"), "logging on\n");
    AgentProcess agent(dir);
    agent.start({dir.file("agent.conf")});
    EXPECT_EQ(1, agent.wait_exit(5000));
    EXPECT_EQ("agent: cannot open the log file: fopen(" + agent.log_path() + ") failed: No such file or directory\n",
              agent.stderr_text());
}

// Each problem of the file once on standard error and, after the version
// line, in the log; a tls neither on nor off sends nothing. --check lists the
// same problems after the settings in effect; --version and --help answer.
TEST(AgentProcess, ConfigurationProblemsAreNamedAndAnUnclearTlsSendsNothing) {
    kr::test::TempDir dir;
    fs::create_directories(dir.file("log"));
    kr::test::LoopbackListener collector;
    const std::string target = "target 127.0.0.1:" + std::to_string(collector.port());
    write_config(dir, dir.file("agent.conf"), "logging on\ntagret 192.0.2.1\nqueue-size 64K\n" + target + "\ntls yes\n");
    AgentProcess agent(dir);
    agent.start({dir.file("agent.conf")});
    EXPECT_EQ(1, agent.wait_exit(5000));
    const Lines problems = {"Configuration line 2: unknown key \"tagret\": ignored",
                            "Configuration line 3: queue-size \"64K\" is not a whole number: 64 is used",
                            "Configuration line 5: tls \"yes\" is neither on nor off: nothing is sent"};
    std::string said;
    for (const auto& p : problems) said += "agent: " + p + "\n";
    EXPECT_EQ(said, agent.stderr_text());
    EXPECT_EQ((Lines{"agent version 3.6.8", "ERROR - " + problems[0], "ERROR - " + problems[1], "ERROR - " + problems[2]}),
              agent.log_messages());
    EXPECT_FALSE(collector.accept(200));

    agent.start({"--check", dir.file("agent.conf")}, "", true);
    EXPECT_EQ(1, agent.wait_exit(5000));
    EXPECT_EQ(0u, agent.stderr_text().find("queue-size 64\n" + target + " 5\nlogging on\n")) << agent.stderr_text();
    EXPECT_NE(std::string::npos, agent.stderr_text().find("tls off\ncapture file:"));
    EXPECT_EQ(agent.stderr_text().size() - said.size(), agent.stderr_text().find(said));
    agent.start({"--version"}, "", true);
    EXPECT_EQ(0, agent.wait_exit(5000));
    EXPECT_EQ("agent version 3.6.8\n", agent.stderr_text());
    agent.start({"--help"}, "", true);
    EXPECT_EQ(0, agent.wait_exit(5000));
    EXPECT_EQ(0u, agent.stderr_text().find("usage: agent <config-file>  "));
}

// A key with a passphrase ends the start with one line, never a prompt, and no connection is made.
TEST(AgentProcess, ATlsKeyWithAPassphraseEndsTheStartWithOneLine) {
    const kr::test::TestPki pki;
    kr::test::TempDir dir;
    fs::create_directories(dir.file("log"));
    kr::test::LoopbackListener collector;
    write_config(dir, dir.file("agent.conf"),
                 "logging on\ntls on\ntls-ca " + pki.pem("ca") + "\ntls-cert " + pki.pem("client") + "\ntls-key " +
                     pki.dir.file("locked.key") + "\ntarget 127.0.0.1:" + std::to_string(collector.port()) + " 2\n");
    AgentProcess agent(dir);
    agent.start({dir.file("agent.conf")});
    EXPECT_EQ(1, agent.wait_exit(5000));
    const std::string line = "tls-key " + pki.dir.file("locked.key") +
                             ": the key has a passphrase, and the agent never asks for one: write it without "
                             "(openssl pkey -in KEY -out NEW_KEY)";
    EXPECT_EQ("agent: " + line + "\n", agent.stderr_text());
    const Lines log = agent.log_messages();
    EXPECT_NE(std::find(log.begin(), log.end(), "ERROR - Run failure: " + line), log.end());
    EXPECT_FALSE(collector.accept(100));
}

TEST(AgentProcess, LoggingOffWritesNoFileAnywhere) {
    kr::test::TempDir dir;
    fs::create_directories(dir.file("log"));
    kr::test::LoopbackListener collector;
    write_config(dir, dir.file("agent.conf"),
                 "logging off\nqueue-size 65536\ntarget 127.0.0.1:" + std::to_string(collector.port()) + " 2\n");
    AgentProcess agent(dir);
    agent.start({dir.file("agent.conf")});
    // Running: its hello arrives (the signal then waits for the handler).
    ASSERT_TRUE(collector.accept(5000));
    EXPECT_EQ(10u, collector.read(10, 5000).size());
    agent.signal(SIGTERM);
    EXPECT_EQ(0, agent.wait_exit(5000));
    EXPECT_FALSE(fs::exists(agent.log_path()));
    EXPECT_EQ("", agent.stderr_text());
    std::vector<std::string> entries;
    for (const auto& e : fs::recursive_directory_iterator(dir.path())) entries.push_back(e.path().filename());
    std::sort(entries.begin(), entries.end());
    EXPECT_EQ((Lines{"agent", "agent.conf", "empty.pcap", "log", "stderr.txt"}), entries);
}

// Set for the agent started next: the trace session that an earlier run left.
constexpr char kSessionLeft[] = "AGENT_TRACE_SESSION_LEFT";

void run_to_signal(int signal_number, bool session_left = false) {
    kr::test::TempDir dir;
    fs::create_directories(dir.file("log"));
    kr::test::LoopbackListener collector;
    // Only the first argument counts; the second is ignored.
    write_config(dir, dir.file("agent.conf"),
                 "logging on\nqueue-size 65536\ntarget 127.0.0.1:" + std::to_string(collector.port()) + " 2\n");
    AgentProcess agent(dir);
    if (session_left) setenv(kSessionLeft, "tarsel-agent", 1);
    agent.start({dir.file("agent.conf"), dir.file("ignored.conf")});
    unsetenv(kSessionLeft);
    ASSERT_TRUE(collector.accept(5000));
    EXPECT_EQ((std::vector<std::uint8_t>{0, 0, 0, 6, 1, '3', '.', '6', '.', '8'}), collector.read(10, 5000));
    ASSERT_TRUE(agent.wait_for_line("Entering ETW trace processing loop..."));
    ASSERT_TRUE(agent.wait_for_line("Started!"));
    agent.signal(signal_number);
    EXPECT_EQ(0, agent.wait_exit(10000));
    Lines lines = agent.log_messages();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ("agent version 3.6.8", lines[0]);
    EXPECT_EQ("Changing directory to: " + dir.path(), lines[1]);
    EXPECT_EQ("Starting...", lines[2]);
    for (const auto& line : lines) EXPECT_EQ(std::string::npos, line.find("BAD PREFIX")) << line;
    Lines trace_start;  // the session thread's lines up to its loop
    for (const auto& line : lines) {
        if (line.find("ETW trace") != std::string::npos && line != "Closing ETW trace...") trace_start.push_back(line);
    }
    EXPECT_EQ((Lines{"Starting ETW trace...",
                     session_left ? "ETW trace with name tarsel-agent already started!"
                                  : "Enable DNS server provider for ETW trace...",
                     "Opening ETW trace...", "Entering ETW trace processing loop..."}),
              trace_start);
    Lines tail(lines.end() - std::min<std::size_t>(lines.size(), 7), lines.end());
    EXPECT_EQ((Lines{"Stopping...", "Stopping all sessions", "Closing ETW trace...", "Closing ETW trace...",
                     "ETW session finished", "Stopping sensor queue processor", "Stopped!"}),
              tail);
    EXPECT_NE(lines.end(), std::find(lines.begin(), lines.end(), "Connected to 127.0.0.1:" +
                                                                     std::to_string(collector.port())));
    EXPECT_TRUE(collector.peer_closed(5000));
}

// Started from another directory with a relative configuration path: the
// file is read there, then the agent moves to its own directory. A refused
// target is tried again only after the 10-second pause; a target that is not
// an IPv4 address is said once and never tried.
TEST(AgentProcess, StartedElsewhereReadsItsConfigThereAndPausesTenSecondsBetweenRounds) {
    kr::test::TempDir home, elsewhere;
    fs::create_directories(home.file("log"));
    const std::string target = "127.0.0.1:" + std::to_string(kr::test::refused_port());
    write_config(elsewhere, elsewhere.file("agent.conf"),
                 "logging on\nqueue-size 12345\ntarget localhost:8141\ntarget " + target + " 1\n");
    AgentProcess agent(home);
    agent.start({"agent.conf"}, elsewhere.path());
    const auto failed = agent.when_logged("ERROR - Connect to " + target + " failed: ", 1, 10000);
    const auto again = agent.when_logged("Connecting to " + target, 2, 20000);
    EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(again - failed).count(), 9500);
    agent.signal(SIGTERM);
    EXPECT_EQ(0, agent.wait_exit(10000));
    const Lines lines = agent.log_messages();
    ASSERT_GE(lines.size(), 5u);
    EXPECT_EQ("Changing directory to: " + home.path(), lines[1]);
    EXPECT_EQ("ERROR - Target localhost:8141 left out: not an IPv4 address", lines[3]);
    EXPECT_EQ("Sensor queue size: 12345 bytes", lines[4]);
    EXPECT_EQ(1, std::count_if(lines.begin(), lines.end(),
                               [](const std::string& l) { return l.find("localhost") != std::string::npos; }));
}

TEST(AgentProcess, TerminationSignalStopsInOrder) { run_to_signal(SIGTERM); }

TEST(AgentProcess, InterruptSignalStopsInOrder) { run_to_signal(SIGINT); }

// A closed terminal, or a rotation's HUP, is a stop request like the others.
TEST(AgentProcess, HangUpSignalStopsInOrder) { run_to_signal(SIGHUP); }

// As every run after the first on Windows: the session is found, not made.
TEST(AgentProcess, ARunAfterAnEarlierOneFindsItsSession) { run_to_signal(SIGTERM, true); }

}  // namespace
