#pragma once
// A temporary directory and the real agent replaying a capture, for the
// ClickHouse tests (and the sample questions of the docs); in an anonymous namespace, so each file
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

// Every ```sql block of docs/clickhouse.md that a ```text block follows,
// with that text: the sample questions and their answers for the sample capture.
inline std::vector<std::pair<std::string, std::string>> sample_questions() {
    std::ifstream doc_file(std::string(SOURCE_DIR) + "/docs/clickhouse.md");
    std::stringstream doc;
    doc << doc_file.rdbuf();
    const std::string text = doc.str();
    const std::regex pair("```sql\n([^`]*)```\n\n```text\n([^`]*)```");
    std::vector<std::pair<std::string, std::string>> questions;
    for (std::sregex_iterator it(text.begin(), text.end(), pair), end; it != end; ++it) {
        questions.emplace_back((*it)[1], (*it)[2].str().substr(0, (*it)[2].length() - 1));
    }
    return questions;
}

// Starts the real agent replaying examples/sample-dns.pcap (10 events) to
// `port`; its pid (-1 when it did not start). The caller stops it.
inline pid_t replay_sample(const std::string& dir, std::uint16_t port) {
    const std::string config = dir + "/agent.conf";
    std::ofstream(config) << "target 127.0.0.1:" << port << " 2\nqueue-size 1048576\ncapture file:" << SOURCE_DIR
                          << "/examples/sample-dns.pcap\ncapture-port 53530\n";
    const char* argv[] = {AGENT_PATH, config.c_str(), nullptr};
    pid_t agent = -1;
    return posix_spawn(&agent, AGENT_PATH, nullptr, nullptr, const_cast<char**>(argv), environ) == 0 ? agent : -1;
}

}  // namespace
}  // namespace kr::collector::test
