#include "config/config.h"
#include "config/problems.h"
#include "config/config_error.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "error/error.h"
#include "support/log_capture.h"

namespace kr::config {
namespace {

// Writes files into a fresh directory and loads them; resets the
// process-wide settings around every test because read_settings appends.
class ConfigFile : public ::testing::Test {
protected:
    void SetUp() override { reset(); }
    void TearDown() override { reset(); }

    static void reset() {
        queue_size = kDefaultQueueSize;
        send_batch = 0;
        targets.clear();
        stats_interval = 0;
        ipv4_clients_only = true;
        etw_buffers = 0;
        tls = TlsSettings();
    }

    std::string write(const std::string& bytes, const char* name = "agent.conf") {
        std::string path = dir_.file(name);
        std::FILE* f = std::fopen(path.c_str(), "wb");
        EXPECT_NE(nullptr, f);
        if (f) {
            EXPECT_EQ(bytes.size(), std::fwrite(bytes.data(), 1, bytes.size(), f));
            std::fclose(f);
        }
        return path;
    }

    // Loads the text as a file and applies it to the settings.
    void apply(const std::string& bytes) {
        reset();
        config_.load(write(bytes).c_str());
        read_settings(config_);
    }

    std::vector<std::string> keys() const {
        std::vector<std::string> out;
        for (const auto& entry : config_.entries()) out.push_back(entry->key);
        return out;
    }

    kr::test::TempDir dir_;
    Config config_;
};

void expect_target(const Target& t, const std::string& ip, std::uint16_t port, std::uint32_t timeout) {
    EXPECT_EQ(ip, t.ip);
    EXPECT_EQ(port, t.port) << "ip " << ip;
    EXPECT_EQ(timeout, t.timeout) << "ip " << ip;
}

TEST(ConfigNumber, ReadsSignAndLeadingDigitsOnly) {
    EXPECT_EQ(42, parse_number(" \t\v\f\r\n42"));
    EXPECT_EQ(7, parse_number("+7"));
    EXPECT_EQ(-12, parse_number("-12abc"));
    EXPECT_EQ(1, parse_number("1M"));
    EXPECT_EQ(0, parse_number("M1"));
    EXPECT_EQ(0, parse_number(""));
    EXPECT_EQ(0, parse_number("- 5"));
    EXPECT_EQ(0, parse_number("\xA0" "5"));  // not whitespace
}

TEST(ConfigNumber, ClampsToSigned32BitRange) {
    EXPECT_EQ(2147483647, parse_number("2147483647"));
    EXPECT_EQ(2147483647, parse_number("2147483648"));
    EXPECT_EQ(-2147483647 - 1, parse_number("-2147483648"));
    EXPECT_EQ(-2147483647 - 1, parse_number("-2147483649"));
    EXPECT_EQ(2147483647, parse_number("99999999999"));
    // Far more digits than any integer type holds.
    EXPECT_EQ(2147483647, parse_number(std::string(200, '9').c_str()));
    EXPECT_EQ(-2147483647 - 1, parse_number(("-" + std::string(200, '9')).c_str()));
}

TEST_F(ConfigFile, QueueSizeFallsBackOrWrapsToUnsigned) {
    const struct {
        const char* text;
        std::uint32_t expected;
    } cases[] = {
        {"", kDefaultQueueSize},
        {"# comments only\n   # and more\n", kDefaultQueueSize},
        {"queue-size 0\n", kDefaultQueueSize},
        {"queue-size lots\n", kDefaultQueueSize},
        {"queue-size\n", kDefaultQueueSize},
        {"queue-size=2048\n", kDefaultQueueSize},
        {"queue-size 1M\n", 1},
        {"queue-size -1\n", 4294967295u},
        {"queue-size 99999999999\n", 2147483647u},
        {"QUEUE-SIZE 4096\n", 4096},
        {"queue-size 1000\nqueue-size 2000\n", 1000},
        {"queue-size #2000\nqueue-size 3000\n", kDefaultQueueSize},
    };
    for (const auto& c : cases) {
        apply(c.text);
        EXPECT_EQ(c.expected, queue_size) << c.text;
    }
}

TEST_F(ConfigFile, SendBatchIsOffUnlessPositive) {
    const struct {
        const char* text;
        std::uint32_t expected;
    } cases[] = {
        {"", 0},
        {"send-batch 0\n", 0},
        {"send-batch -1\n", 0},
        {"send-batch lots\n", 0},
        {"send-batch\n", 0},
        {"SEND-BATCH 65536 # bytes\n", 65536},
        {"send-batch 1\nsend-batch 2\n", 1},
        {"send-batch 99999999999\n", 2147483647u},
    };
    for (const auto& c : cases) {
        apply(c.text);
        EXPECT_EQ(c.expected, send_batch) << c.text;
    }
}

TEST_F(ConfigFile, TargetsTakeAddressPortAndTimeout) {
    apply(
        "target 192.0.2.10\n"
        "target 192.0.2.10:9000 30\n"
        "target 192.0.2.10 30\n"
        "target 192.0.2.10:9000   30 extra words\n"
        "target\n"
        "target :9000\n"
        "target 192.0.2.10:9000\t0\n"
        "target host.example:-1 -1\n");
    ASSERT_EQ(8u, targets.size());
    expect_target(targets[0], "192.0.2.10", 8100, 5);
    expect_target(targets[1], "192.0.2.10", 9000, 30);
    expect_target(targets[2], "192.0.2.10", 8100, 30);
    expect_target(targets[3], "192.0.2.10", 9000, 30);
    expect_target(targets[4], "", 8100, 5);
    expect_target(targets[5], "", 9000, 5);
    expect_target(targets[6], "192.0.2.10", 9000, 5);
    expect_target(targets[7], "host.example", 65535, 4294967295u);
}

TEST_F(ConfigFile, PortUsesLowSixteenBitsAndZeroKeepsDefault) {
    apply("target a:0\ntarget b:65536\ntarget c:70000\ntarget d:x\ntarget e:65535\n");
    ASSERT_EQ(5u, targets.size());
    expect_target(targets[0], "a", 8100, 5);
    expect_target(targets[1], "b", 8100, 5);
    expect_target(targets[2], "c", 4464, 5);
    expect_target(targets[3], "d", 8100, 5);
    expect_target(targets[4], "e", 65535, 5);
}

TEST(ConfigTarget, FirstColonEndsAddressEvenAfterWhitespace) {
    Target t;
    parse_target("10.0.0.1 30:99", t);
    expect_target(t, "10.0.0.1 30", 99, 30);
    Target u;
    parse_target("a:1:2", u);
    expect_target(u, "a", 1, 5);
}

TEST_F(ConfigFile, NoTargetLineMakesNoTarget) {
    apply("queue-size 10\ntargets 192.0.2.1\n# target 192.0.2.2\n");
    EXPECT_TRUE(targets.empty());
}

TEST(ConfigLine, CommentsAndWhitespaceBoundKeyAndValue) {
    const struct {
        const char* line;
        const char* key;
        const char* value;
    } cases[] = {
        {"key value\n", "key", "value"},
        {" \t key \t value \t \r\n", "key", "value"},
        {"key  a \t\v b  # c d\n", "key", "a \t\v b"},
        {"key value#comment", "key", "value"},
        {"key#comment", "key", ""},
        {"key", "key", ""},
        {"key\f\n", "key", ""},
        {"queue-size=2048", "queue-size=2048", ""},
        {"a:b c", "a:b", "c"},
        {"k\xA0v", "k\xA0v", ""},         // 0xA0 is not whitespace
        {"k \xA0 \xFF\n", "k", "\xA0 \xFF"},
    };
    for (const auto& c : cases) {
        auto entry = parse_line(c.line);
        ASSERT_NE(nullptr, entry) << c.line;
        EXPECT_EQ(c.key, entry->key) << c.line;
        EXPECT_EQ(c.value, entry->value) << c.line;
    }
    for (const char* line : {"", "\n", " \t\r\n", "#key value", "   # key\n", "#"}) {
        EXPECT_EQ(nullptr, parse_line(line)) << line;
    }
}

TEST(ConfigLine, LowercasesKeyAsciiOnlyAndKeepsValue) {
    auto entry = parse_line("Queue-SIZE_\xC4Z On\n");
    ASSERT_NE(nullptr, entry);
    EXPECT_EQ("queue-size_\xC4z", entry->key);  // 0xC4 untouched by any locale
    EXPECT_EQ("On", entry->value);
}

TEST_F(ConfigFile, LookupComparesWholeKeyExactly) {
    config_.load(write("Logging ON\nlogging on # later\nlog x\nlogging-x y\nlogging on#c\n").c_str());
    EXPECT_STREQ("ON", config_.get("logging"));
    EXPECT_EQ((std::vector<std::string>{"ON", "on", "on"}), config_.get_all("logging"));
    EXPECT_STREQ("x", config_.get("log"));
    EXPECT_EQ(nullptr, config_.get("logg"));
    EXPECT_EQ(nullptr, config_.get("LOGGING"));
    EXPECT_TRUE(config_.get_all("missing").empty());
}

TEST_F(ConfigFile, CrLfLineEndsAreDropped) {
    config_.load(write("logging on\r\ntarget 192.0.2.1:9000 7\r\n").c_str());
    EXPECT_STREQ("on", config_.get("logging"));
    EXPECT_STREQ("192.0.2.1:9000 7", config_.get("target"));
}

TEST_F(ConfigFile, LongLineIsReadInPiecesOf4095Bytes) {
    // The first piece is "first " and 4089 a's; the rest becomes a line of its own.
    std::string first = "first " + std::string(4089, 'a');
    std::string rest = "second " + std::string(5000 - first.size() - 7, 'b');
    ASSERT_EQ(5000u, first.size() + rest.size());
    config_.load(write(first + rest + "\nlast line\n").c_str());
    ASSERT_EQ((std::vector<std::string>{"first", "second", "last"}), keys());
    EXPECT_EQ(std::string(4089, 'a'), config_.entries()[0]->value);
    EXPECT_EQ(rest.substr(7), config_.entries()[1]->value);
    EXPECT_EQ("line", config_.entries()[2]->value);
}

TEST_F(ConfigFile, LoadReplacesEarlierEntries) {
    config_.load(write("a 1\nb 2\n", "one.conf").c_str());
    config_.load(write("c 3\n", "two.conf").c_str());
    EXPECT_EQ(std::vector<std::string>{"c"}, keys());
}

TEST_F(ConfigFile, UnopenableFileThrowsWithPathAndSystemText) {
    config_.load(write("a 1\n").c_str());
    const std::string path = dir_.file("missing dir/No Such.conf");
    try {
        config_.load(path.c_str());
        FAIL() << "no exception";
    } catch (const ConfigError& e) {
        EXPECT_EQ("fopen(" + path + ") failed: " + kr::error::crt_error_text(ENOENT), e.what());
    }
    EXPECT_TRUE(config_.entries().empty());
    // A directory fails to open, as on Windows, rather than reading as empty.
    config_.load(write("a 1\n").c_str());
    try {
        config_.load(dir_.path().c_str());
        FAIL() << "a directory opened";
    } catch (const ConfigError& e) {
        EXPECT_EQ(0u, std::string(e.what()).rfind("fopen(" + dir_.path() + ") failed: ", 0)) << e.what();
    }
    EXPECT_TRUE(config_.entries().empty());
}

TEST_F(ConfigFile, StatsIntervalAndIpv4ClientsOnlyFallBackToOff) {
    const struct {
        const char* text;
        std::uint32_t interval;
        bool ipv4_only;
        std::uint32_t buffers;
    } cases[] = {
        {"", 0, true, 0},
        {"stats-interval 30\nipv4-clients-only off\netw-buffers 256\n", 30, false, 256},
        {"STATS-INTERVAL 5s # five\nipv4-clients-only off#\nETW-BUFFERS 8x\n", 5, false, 8},
        {"stats-interval -3\nipv4-clients-only OFF\netw-buffers -2\n", 0, true, 0},
        {"stats-interval 99999999999\nipv4-clients-only no\netw-buffers x\n", kMaxStatsInterval, true, 0},
        {"stats-interval\nipv4-clients-only\n", 0, true, 0},
    };
    for (const auto& c : cases) {
        apply(c.text);
        EXPECT_EQ(c.interval, stats_interval) << c.text;
        EXPECT_EQ(c.ipv4_only, ipv4_clients_only) << c.text;
        EXPECT_EQ(c.buffers, etw_buffers) << c.text;
    }
}

TEST_F(ConfigFile, TlsIsOnForOnInAnyCaseAndItsPathsAreKeptAsWritten) {
    apply("tls on\ntls-ca /etc/ca dir/ca.pem # CAs\nTLS-NAME c.example\ntls-cert-thumbprint 0a1B\n");
    EXPECT_EQ("1 /etc/ca dir/ca.pem c.example 0a1B",
              std::to_string(tls.on) + " " + tls.ca + " " + tls.name + " " + tls.thumbprint);
    apply("tls ON\ntls-cert c.pem\n");
    EXPECT_TRUE(tls.on);
    EXPECT_TRUE(problems.empty());
}

// Each problem once, in line order, with what is used instead; the values
// themselves are those of the rules above. Only the TLS ones are fatal.
TEST_F(ConfigFile, ProblemsNameTheLineTheKeyAndTheValueUsed) {
    auto listed = [] {
        std::vector<std::string> out;
        for (const auto& p : problems) out.push_back(problem_line(p) + (p.fatal ? " (fatal)" : ""));
        return out;
    };
    apply("\xEF\xBB\xBFqueue-size 100M\ntagret 127.0.0.1\nqueue-size 5\n\ntarget 127.0.0.1:81OO 3s more\n"
          "target 127.0.0.1:-1\nlogging ON\nstats-interval 99999999\nsend-batch -1\ntls yes\ntls-ca ca.pem\n");
    EXPECT_EQ(100u, queue_size) << "the byte-order mark no longer hides the first line";
    const std::string target = "Configuration line 5: target \"127.0.0.1:81OO 3s more\": ";
    EXPECT_EQ((std::vector<std::string>{
                  "Configuration line 1: queue-size \"100M\" is not a whole number: 100 is used",
                  "Configuration line 2: unknown key \"tagret\": ignored",
                  "Configuration line 3: queue-size is given again: ignored (line 1 counts)",
                  target + "port \"81OO\" is not a whole number: 81 is used",
                  target + "time-out \"3s\" is not a whole number: 3 is used",
                  target + "\"more\" after the time-out is ignored",
                  "Configuration line 6: target \"127.0.0.1:-1\": port \"-1\" is out of range (1 to 65535): 65535 is used",
                  "Configuration line 7: logging \"ON\" is neither on nor off: off is used",
                  "Configuration line 8: stats-interval \"99999999\" is out of range (0 to 4294967): 4294967 is used",
                  "Configuration line 9: send-batch \"-1\" is out of range (0 to 2147483647): 0 is used",
                  "Configuration line 10: tls \"yes\" is neither on nor off: nothing is sent (fatal)"}),
              listed());
    apply("# x\n" + std::string(5000, 'q') + "\ntls off\ntls-name c.example\ntls-ca ca.pem\n");
    ASSERT_EQ(3u, problems.size());
    EXPECT_EQ("Configuration line 2: unknown key \"" + std::string(4095, 'q') + "\": ignored", problem_line(problems[0]));
    EXPECT_EQ("Configuration line 4: tls-name is set but tls is not on: nothing is sent (fatal)", listed()[2]);
    apply("queue-size 65536\ntarget 192.0.2.1:9000 30\ntarget 192.0.2.2\nlogging off\ntls OFF\n");
    EXPECT_EQ(std::vector<std::string>{}, listed());
}

TEST_F(ConfigFile, SettingsAreLoggedInOrder) {
    kr::test::LogCapture capture;
    apply("target 192.0.2.10:9000 30\nqueue-size -1\ntarget\nstats-interval 9\nipv4-clients-only off\n");
    EXPECT_EQ((std::vector<std::string>{
                  "Config: queue-size = 4294967295",
                  "Config: target = ip:192.0.2.10 port:9000 timeout:30",
                  "Config: target = ip: port:8100 timeout:5",
              }),
              capture.messages());
    // Only a set send-batch has a line of its own.
    kr::test::LogCapture batch_capture;
    apply("send-batch 65536\n");
    EXPECT_EQ((std::vector<std::string>{"Config: queue-size = 104857600", "Config: send-batch = 65536"}),
              batch_capture.messages());
}

}  // namespace
}  // namespace kr::config
