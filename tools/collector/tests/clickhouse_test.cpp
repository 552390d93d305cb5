// The collector against a real clickhouse-server (one per test program,
// stopped, killed and restarted by the tests that need it).
#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "clickhouse_server.h"
#include "collector_process.h"
#include "spool.h"
#include "wire.h"

extern char** environ;

namespace kr::collector::test {
namespace {

// "e00042.test": fixed width, so the names sort as their numbers.
std::string numbered_name(int number) {
    char name[32];
    std::snprintf(name, sizeof name, "e%05d.test", number);
    return name;
}

ByteVector numbered_events(int first, int count) {
    ByteVector bytes;
    for (int n = first; n < first + count; ++n) {
        append(bytes, record(event_message(1796624400 + n / 1000, "192.0.2." + std::to_string(n % 200), "192.0.2.1",
                                           0, dns_packet(static_cast<std::uint16_t>(n), 0x0100, numbered_name(n)))));
    }
    return bytes;
}

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

class ClickHouse : public ::testing::Test {
protected:
    static void SetUpTestSuite() { server_ = new ClickHouseServer; }
    static void TearDownTestSuite() {
        delete server_;
        server_ = nullptr;
    }
    void SetUp() override {
        std::string error;
        if (!server_->running()) {
            ASSERT_TRUE(server_->start(error)) << error;
        }
    }

    // Waits until `sql` answers `expected`; the last answer otherwise.
    static std::string wait_answer(const std::string& sql, const std::string& expected, int timeout_ms = 30000) {
        std::string answer;
        for (int waited = 0; waited <= timeout_ms; waited += 100) {
            answer = server_->query(sql);
            if (answer == expected) {
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return answer;
    }

    static std::vector<std::string> collector_args(const std::string& table, const std::string& rows,
                                                   const std::string& ms) {
        return {"--listen", "127.0.0.1:0", "--clickhouse", server_->url() + "?database=default",
                "--clickhouse-table", table, "--clickhouse-batch-rows", rows, "--clickhouse-batch-ms", ms};
    }

    static ClickHouseServer* server_;
};

ClickHouseServer* ClickHouse::server_ = nullptr;

TEST(Spool, ReplaysInSequenceOrderAcrossReopensAndDropsTheOldestWhenFull) {
    TempDir dir;
    const std::string batch(100, 'x');
    std::string error;
    {
        Spool spool;
        ASSERT_TRUE(spool.open(dir.path(), 350, error)) << error;
        for (std::uint64_t sequence : {5, 3, 4}) {
            ASSERT_TRUE(spool.push(sequence, static_cast<std::uint32_t>(sequence), batch, error)) << error;
        }
        ASSERT_TRUE(spool.push(6, 6, batch, error));  // 400 bytes: the oldest (3) goes
        EXPECT_EQ(spool.dropped_batches(), 1u);
        EXPECT_EQ(spool.dropped_rows(), 3u);
        EXPECT_TRUE(spool.push(7, 7, std::string(351, 'y'), error));  // larger than the bound: dropped itself
        EXPECT_EQ(spool.dropped_batches(), 2u);
        EXPECT_EQ(spool.bytes(), 300u);
    }
    std::FILE* leftover = std::fopen((dir.path() + "/00000000000000000009-1.batch.tmp").c_str(), "w");
    ASSERT_NE(leftover, nullptr);
    std::fclose(leftover);

    Spool reopened;
    ASSERT_TRUE(reopened.open(dir.path(), 350, error)) << error;
    EXPECT_EQ(reopened.next_sequence(), 7u);
    EXPECT_EQ(reopened.rows(), 15u);
    std::vector<std::uint64_t> order;
    std::uint64_t sequence = 0;
    std::uint32_t rows = 0;
    std::string data;
    while (reopened.read_front(sequence, rows, data, error)) {
        EXPECT_EQ(data, batch);
        EXPECT_EQ(rows, sequence);
        order.push_back(sequence);
        EXPECT_TRUE(reopened.remove(sequence));
    }
    EXPECT_EQ(order, (std::vector<std::uint64_t>{4, 5, 6}));
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

TEST_F(ClickHouse, InsertsEveryFieldBesideJsonInBatchesClosedByRowsThenByStop) {
    auto args = collector_args("fields", "2", "600000");
    args.insert(args.end(), {"--json", "-", "--metrics", "127.0.0.1:0"});
    CollectorProcess collector(args);
    const std::uint16_t port = collector.wait_listening();
    ASSERT_NE(port, 0) << collector.stderr_text();
    AgentSocket agent(port);
    ByteVector bytes = record(hello("3.6.8"));
    append(bytes, record(event_message(1796624400, "192.0.2.10", "192.0.2.1", 0,
                                       dns_packet(0x1111, 0x0100, "www.example.com"))));
    append(bytes, record(event_message(1796624401, "2001:db8::10", "2001:db8::53", 1,
                                       dns_packet(0x2222, 0x8583, "nx.example.com", 28))));
    append(bytes, record(event_message(1796624402, "192.0.2.11", "192.0.2.1", 0, {0xAA, 0xBB})));
    ASSERT_TRUE(agent.send(bytes));
    EXPECT_TRUE(collector.wait_stdout_lines(3)) << collector.stderr_text();
    // Two rows close the first batch; the third waits for the stop.
    EXPECT_EQ(wait_answer("SELECT count() FROM fields", "2"), "2") << collector.stderr_text();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(server_->query("SELECT count() FROM fields"), "2");
    const std::string scrape = scrape_metrics(collector);
    EXPECT_EQ(sample_value(scrape, "collector_clickhouse_rows_inserted_total"), 2) << scrape;
    EXPECT_EQ(sample_value(scrape, "collector_clickhouse_batches_inserted_total"), 1);
    EXPECT_EQ(sample_value(scrape, "collector_clickhouse_batches_dropped_total"), 0);
    collector.signal(SIGTERM);
    EXPECT_EQ(collector.wait_exit(), 0) << collector.stderr_text();
    EXPECT_NE(collector.stderr_text().find("clickhouse rows 3 in 2 batches"), std::string::npos)
        << collector.stderr_text();

    const std::string peer = agent.local_address();
    EXPECT_EQ(server_->query("SELECT time, peer = '" + peer +
                             "', version, client, server, tcp, size, id, qr, opcode, rcode, flags, qname, qtype, "
                             "qclass, error, row FROM fields ORDER BY time FORMAT TSV"),
              "2026-12-07 06:20:00\t1\t3.6.8\t192.0.2.10\t192.0.2.1\t0\t33\t4369\t0\t0\t0\t256\twww.example.com\t1\t1"
              "\t\t0\n"
              "2026-12-07 06:20:01\t1\t3.6.8\t2001:db8::10\t2001:db8::53\t1\t32\t8738\t1\t0\t3\t34179\tnx.example."
              "com\t28\t1\t\t1\n"
              "2026-12-07 06:20:02\t1\t3.6.8\t192.0.2.11\t192.0.2.1\t0\t2\t0\t0\t0\t0\t0\t\t0\t0\tpacket of 2 "
              "bytes is shorter than the DNS header\t0");
}

TEST_F(ClickHouse, ClosesABatchByAge) {
    CollectorProcess collector(collector_args("aged", "50000", "100"));
    const std::uint16_t port = collector.wait_listening();
    ASSERT_NE(port, 0) << collector.stderr_text();
    AgentSocket agent(port);
    ByteVector bytes = record(hello());
    append(bytes, numbered_events(0, 5));
    ASSERT_TRUE(agent.send(bytes));
    EXPECT_EQ(wait_answer("SELECT count() FROM aged", "5"), "5") << collector.stderr_text();
}

// The database killed and restarted while an agent streams: every event
// lands; duplicates are only whole batches whose insert was cut short, and
// the documented query removes them.
TEST_F(ClickHouse, KilledAndRestartedUnderAStreamLosesNothing) {
    constexpr int kEvents = 30000;
    TempDir spool;
    auto args = collector_args("stream", "500", "100");
    args.insert(args.end(), {"--spool", spool.path()});
    CollectorProcess collector(args);
    const std::uint16_t port = collector.wait_listening();
    ASSERT_NE(port, 0) << collector.stderr_text();
    AgentSocket agent(port);
    ASSERT_TRUE(agent.send(record(hello())));
    std::atomic<bool> sent{false};
    std::thread sender([&] {
        for (int n = 0; n < kEvents; n += 100) {
            agent.send(numbered_events(n, 100));
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        sent = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    server_->kill();
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    std::string error;
    const bool restarted = server_->start(error);
    sender.join();
    ASSERT_TRUE(restarted) << error;
    ASSERT_TRUE(sent);

    EXPECT_EQ(wait_answer("SELECT uniqExact(qname) FROM stream", std::to_string(kEvents), 60000),
              std::to_string(kEvents))
        << collector.stderr_text();
    EXPECT_EQ(server_->query("SELECT count() FROM (SELECT qname FROM stream LIMIT 1 BY batch, row)"),
              std::to_string(kEvents));
    EXPECT_EQ(server_->query("SELECT uniqExact(qname) = uniqExact(batch, row) FROM stream"), "1");
    const int duplicates = std::stoi(server_->query("SELECT count() FROM stream")) - kEvents;
    EXPECT_EQ(server_->query("SELECT countIf(c NOT IN (1, 2)) FROM (SELECT count() AS c FROM stream GROUP BY qname)"),
              "0");
    RecordProperty("duplicates", duplicates);
    std::printf("events %d, duplicates %d\n", kEvents, duplicates);

    collector.signal(SIGTERM);
    EXPECT_EQ(collector.wait_exit(), 0);
    const std::string& notes = collector.stderr_text();
    EXPECT_NE(notes.find("ClickHouse insert failed"), std::string::npos) << notes;
    EXPECT_NE(notes.find("ClickHouse accepts inserts again"), std::string::npos) << notes;
    EXPECT_NE(notes.find("dropped 0 (0 rows), left in the spool 0"), std::string::npos) << notes;
    std::printf("%s", notes.substr(notes.find("summary")).c_str());
}

// While the database is stopped the batches go to a bounded spool; a
// collector started later replays what is left, oldest first.
TEST_F(ClickHouse, SpoolOutlivesTheCollectorAndDropsTheOldestWhenFull) {
    TempDir spool;
    server_->stop();
    // 100-row batches of about 8.9 kB: the bound holds three of five.
    auto args = collector_args("spooled", "100", "600000");
    args.insert(args.end(), {"--spool", spool.path(), "--spool-max", "30000"});
    {
        CollectorProcess collector(args);
        const std::uint16_t port = collector.wait_listening();
        ASSERT_NE(port, 0) << collector.stderr_text();
        EXPECT_TRUE(collector.wait_stderr("is not ready")) << collector.stderr_text();
        AgentSocket agent(port);
        ByteVector bytes = record(hello());
        append(bytes, numbered_events(0, 500));
        ASSERT_TRUE(agent.send(bytes));
        agent.close();
        EXPECT_TRUE(collector.wait_stderr("disconnected after 501 records")) << collector.stderr_text();
        collector.signal(SIGTERM);
        EXPECT_EQ(collector.wait_exit(), 0);
        EXPECT_NE(collector.stderr_text().find("spooled 5, replayed 0, dropped 2 (200 rows), left in the spool 3"),
                  std::string::npos)
            << collector.stderr_text();
    }
    std::string error;
    ASSERT_TRUE(server_->start(error)) << error;
    CollectorProcess collector(args);
    ASSERT_NE(collector.wait_listening(), 0) << collector.stderr_text();
    EXPECT_NE(collector.stderr_text().find("holds 3 batches (300 rows) from an earlier run"), std::string::npos)
        << collector.stderr_text();
    EXPECT_EQ(wait_answer("SELECT count(), min(qname), max(qname) FROM spooled", "300\te00200.test\te00499.test"),
              "300\te00200.test\te00499.test");
    collector.signal(SIGTERM);
    EXPECT_EQ(collector.wait_exit(), 0);
    EXPECT_NE(collector.stderr_text().find("replayed 3, dropped 0 (0 rows), left in the spool 0"), std::string::npos)
        << collector.stderr_text();
}

// Every ```sql block of docs/clickhouse.md that a ```text block follows is
// asked of the sample capture, replayed by the real agent; the text is the answer.
TEST_F(ClickHouse, SampleQuestionsInTheDocsAnswerForTheSampleCapture) {
    std::ifstream doc_file(std::string(SOURCE_DIR) + "/docs/clickhouse.md");
    std::stringstream doc;
    doc << doc_file.rdbuf();
    const std::string text = doc.str();
    const std::regex pair("```sql\n([^`]*)```\n\n```text\n([^`]*)```");
    std::vector<std::pair<std::string, std::string>> questions;
    for (std::sregex_iterator it(text.begin(), text.end(), pair), end; it != end; ++it) {
        questions.emplace_back((*it)[1], (*it)[2].str().substr(0, (*it)[2].length() - 1));
    }
    ASSERT_EQ(questions.size(), 4u);

    CollectorProcess collector(collector_args("dns_events", "50000", "100"));
    const std::uint16_t port = collector.wait_listening();
    ASSERT_NE(port, 0) << collector.stderr_text();
    TempDir dir;
    const std::string config = dir.path() + "/agent.conf";
    std::ofstream(config) << "target 127.0.0.1:" << port << " 2\nqueue-size 1048576\ncapture file:" << SOURCE_DIR
                          << "/examples/sample-dns.pcap\ncapture-port 53530\n";
    const char* argv[] = {AGENT_PATH, config.c_str(), nullptr};
    pid_t agent = -1;
    ASSERT_EQ(posix_spawn(&agent, AGENT_PATH, nullptr, nullptr, const_cast<char**>(argv), environ), 0);
    const std::string count = wait_answer("SELECT count() FROM dns_events", "10");
    kill(agent, SIGTERM);
    waitpid(agent, nullptr, 0);
    ASSERT_EQ(count, "10") << collector.stderr_text();
    for (const auto& [sql, answer] : questions) {
        EXPECT_EQ(server_->query(sql), answer) << sql;
    }
}

}  // namespace
}  // namespace kr::collector::test
