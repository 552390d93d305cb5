#include "log/log.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "support/log_capture.h"
#include "thread/thread.h"

namespace kr::log {
namespace {

TEST(Log, ClosedLogWritesNothing) {
    log_set_stream(nullptr);
    log_print("dropped %d", 1);  // must not crash or write anywhere
    kr::test::LogCapture capture;
    log_print("kept %s", "line");
    EXPECT_EQ(std::vector<std::string>{"kept line"}, capture.messages());
}

TEST(Log, AppendsAndNeverTruncates) {
    kr::test::TempDir dir;
    std::string path = dir.file("dns-logger.log");
    {
        std::ofstream(path) << "earlier\n";
    }
    log_open(path.c_str());
    log_print("agent version %s", "3.6.8");
    log_print("two\nlines");
    log_set_stream(nullptr);
    std::ifstream in(path);
    std::string first, second, third, fourth;
    std::getline(in, first);
    std::getline(in, second);
    std::getline(in, third);
    std::getline(in, fourth);
    EXPECT_EQ("earlier", first);
    EXPECT_NE(std::string::npos, second.find("]: agent version 3.6.8"));
    EXPECT_EQ(20u, second.find(' '));
    EXPECT_EQ('Z', second[19]);
    EXPECT_NE(std::string::npos, third.find("]: two"));
    EXPECT_EQ("lines", fourth);
}

TEST(Log, MissingDirectoryLeavesTheLogClosed) {
    kr::test::TempDir dir;
    log_set_stream(nullptr);
    log_open(dir.file("no-such-dir/dns-logger.log").c_str());
    log_print("nowhere");
    std::FILE* f = std::fopen(dir.file("no-such-dir/dns-logger.log").c_str(), "r");
    EXPECT_EQ(nullptr, f);
    if (f) std::fclose(f);
}

std::uint32_t write_lines(void* p) {
    int id = *static_cast<int*>(p);
    for (int i = 0; i < 200; ++i) log_print("thread %d line %d with some padding text", id, i);
    return 0;
}

TEST(Log, LinesFromSeveralThreadsNeverInterleave) {
    kr::test::LogCapture capture;
    int ids[3] = {1, 2, 3};
    kr::thread::ThreadHandle threads[3];
    for (int i = 0; i < 3; ++i) ASSERT_EQ(0, kr::thread::thread_create(&threads[i], nullptr, write_lines, &ids[i]));
    for (auto t : threads) kr::thread::thread_join(t, nullptr);
    auto lines = capture.messages();
    ASSERT_EQ(600u, lines.size());
    int next[4] = {0, 0, 0, 0};
    for (const auto& line : lines) {
        int id = -1, n = -1;
        ASSERT_EQ(2, std::sscanf(line.c_str(), "thread %d line %d", &id, &n)) << line;
        ASSERT_TRUE(id >= 1 && id <= 3);
        EXPECT_EQ(next[id]++, n);
        EXPECT_NE(std::string::npos, line.find("with some padding text"));
    }
}

}  // namespace
}  // namespace kr::log
