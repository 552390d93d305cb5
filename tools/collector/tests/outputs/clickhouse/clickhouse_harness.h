#pragma once
// A temporary directory and the real agent replaying a capture, for the
// ClickHouse tests; in an anonymous namespace (classes only), so each file
// that includes it has its own.
#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "outputs/clickhouse/clickhouse_rows.h"
#include "outputs/clickhouse/http_post.h"
#include "outputs/clickhouse/spool.h"
#include "tests/support/capture_file.h"
#include "tests/support/clickhouse_server.h"
#include "tests/support/collector_process.h"
#include "tests/support/wire.h"

extern char** environ;

namespace kr::collector::test {
namespace {

class TempDir {
public:
    TempDir() {
        char name[] = "/tmp/collector-spool-XXXXXX";
        path_ = mkdtemp(name) != nullptr ? name : "";
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// The real agent replaying a capture file to its targets, in order.
class AgentProcess {
public:
    AgentProcess(const std::string& dir, const std::string& capture, const std::vector<std::uint16_t>& ports) {
        config_ = dir + "/agent-" + std::to_string(ports.front()) + "-" + std::to_string(++count_) + ".conf";
        std::ofstream config(config_);
        for (std::uint16_t port : ports) {
            config << "target 127.0.0.1:" << port << " 2\n";
        }
        config << "queue-size 67108864\ncapture file:" << capture << "\n";
        config.close();
        const char* argv[] = {AGENT_PATH, config_.c_str(), nullptr};
        if (posix_spawn(&pid_, AGENT_PATH, nullptr, nullptr, const_cast<char**>(argv), environ) != 0) {
            pid_ = -1;
        }
    }
    ~AgentProcess() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }
    AgentProcess(const AgentProcess&) = delete;
    AgentProcess& operator=(const AgentProcess&) = delete;
    bool started() const { return pid_ > 0; }

private:
    static inline int count_ = 0;
    std::string config_;
    pid_t pid_ = -1;
};

}  // namespace
}  // namespace kr::collector::test
