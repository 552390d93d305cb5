#include "log/log.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "error/error.h"
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

// What this platform's text-mode stream writes for the text (CR LF line ends on Windows).
std::string as_written(const kr::test::TempDir& dir, const std::string& text) {
    const std::string path = dir.file("text-mode");
    std::FILE* f = std::fopen(path.c_str(), "w");
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
    return kr::test::LogCapture::read_binary(path);
}

TEST(Log, EachLineIsWholeInTheFileWhenTheCallReturns) {
    kr::test::TempDir dir;
    const std::string path = dir.file("dns-logger.log");
    log_open(path.c_str());
    const std::string system_text = kr::error::system_error_text(2);
    const std::string messages[] = {"agent version 3.6.8", "two\nlines", std::string(1016, 'x'),
                                    std::string(5000, 'y'), "ERROR - fopen(x) failed: " + system_text};
    const std::regex stamp(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ \[(\d+)\]: )");
    std::size_t written = 0;
    for (const std::string& message : messages) {
        SCOPED_TRACE(message.substr(0, 40));
        log_print("%s", message.c_str());
        const std::string line = kr::test::LogCapture::read_binary(path).substr(written);
        written += line.size();
        std::smatch m;
        ASSERT_TRUE(std::regex_search(line, m, stamp));
        EXPECT_EQ(std::to_string(kr::thread::current_process_id()), m[1]);
        EXPECT_EQ(as_written(dir, message + "\n"), line.substr(m.length(0)));
    }
    log_set_stream(nullptr);
}

TEST(Log, TimeStampsAreUtcWhateverTheLocalZone) {
    static char zone[] = "TZ=XYZ-5";
    static char no_zone[] = "TZ=";
    putenv(zone);
    tzset();
    const std::time_t before = std::time(nullptr);
    const int local_hour = std::localtime(&before)->tm_hour;
    ASSERT_NE(std::gmtime(&before)->tm_hour, local_hour) << "the time zone did not take effect";
    std::string raw;
    {
        kr::test::LogCapture capture;
        log_print("when");
        raw = capture.raw();
    }
    const std::time_t after = std::time(nullptr);
    putenv(no_zone);
    tzset();
    char first[32], last[32];
    std::strftime(first, sizeof first, "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&before));
    std::strftime(last, sizeof last, "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&after));
    const std::string stamp = raw.substr(0, 20);
    EXPECT_TRUE(stamp == first || stamp == last) << stamp << " is not UTC " << first;
}

TEST(Log, MissingDirectoryLeavesTheLogClosed) {
    kr::test::TempDir dir;
    log_set_stream(nullptr);
    errno = 0;
    EXPECT_FALSE(log_open(dir.file("no-such-dir/dns-logger.log").c_str()));
    EXPECT_EQ(ENOENT, errno);
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
