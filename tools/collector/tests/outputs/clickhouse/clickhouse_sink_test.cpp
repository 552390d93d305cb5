// The ClickHouse output as the server and its files change under it: a
// hung server, a full spool, a table and spool files of the previous version.
#include <netinet/in.h>
#include <sys/mount.h>
#include <sys/socket.h>

#include <cstring>

#include "outputs/clickhouse/backlog.h"

#include "tests/outputs/clickhouse/clickhouse_harness.h"

namespace kr::collector::test {
namespace {

// A server that accepts (the kernel completes the handshake) and never
// answers: agents are served from the start, and a stop drops what memory
// holds after its 10 s, with the line that says so.
TEST(ClickHouseSink, AHungServerDelaysNoAgentAndAStopSaysWhatItDrops) {
    const int hung = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(hung, reinterpret_cast<sockaddr*>(&address), length), 0);
    ASSERT_EQ(listen(hung, 8), 0);
    ASSERT_EQ(getsockname(hung, reinterpret_cast<sockaddr*>(&address), &length), 0);
    CollectorProcess collector({"--listen", "127.0.0.1:0", "--json", "-", "--clickhouse-batch-rows", "2",
                                "--clickhouse", "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/"});
    AgentSocket agent(collector.wait_listening());
    ByteVector bytes = record(hello());
    for (int n = 0; n < 3; ++n) {
        append(bytes, record(event_message(1796624400, "192.0.2.7", "192.0.2.1", 0, dns_packet(1, 0x0100, "a.test"))));
    }
    ASSERT_TRUE(agent.send(bytes));
    EXPECT_TRUE(collector.wait_stdout_lines(3)) << collector.stderr_text();
    collector.signal(SIGTERM);
    EXPECT_EQ(collector.wait_exit(30000), 0);
    EXPECT_NE(collector.stderr_text().find("ClickHouse events dropped, oldest first: 3 (a stop's 10 s ran out and "
                                           "there is no --spool)"),
              std::string::npos)
        << collector.stderr_text();
    EXPECT_NE(collector.stderr_text().find("dropped 2 (3 rows)"), std::string::npos);
    close(hung);
}

// A 2 MiB tmpfs of its own; path() is "" where mounting is not allowed.
class SmallDisk {
public:
    SmallDisk() {
        if (mount("tmpfs", dir_.path().c_str(), "tmpfs", 0, "size=2m") == 0) {
            path_ = dir_.path() + "/spool";
        } else {
            error_ = std::strerror(errno);
        }
    }
    ~SmallDisk() {
        if (!path_.empty()) {
            umount2(dir_.path().c_str(), MNT_DETACH);
        }
    }
    const std::string& path() const { return path_; }
    const std::string& error() const { return error_; }

private:
    TempDir dir_;
    std::string path_;
    std::string error_;
};

// A spool on a full disk hands batches to memory; only when memory is full
// too are rows dropped, oldest first (the spool's), with a line; what is
// left comes out in order.
TEST(ClickHouseSink, ASpoolOnAFullDiskLeavesBatchesInMemoryAndBothFullDropTheOldest) {
    SmallDisk disk;
    if (disk.path().empty()) {
        GTEST_SKIP() << "cannot mount a 2 MiB tmpfs here (" << disk.error() << ")";
    }
    char* text = nullptr;
    std::size_t size = 0;
    std::FILE* log = open_memstream(&text, &size);
    Backlog backlog(log, 1000000);
    std::string error;
    ASSERT_TRUE(backlog.open_spool(disk.path(), 1 << 30, 1, 2, error)) << error;
    std::uint64_t sequence = 0;
    auto push = [&](int count) {
        for (int i = 0; i < count; ++i, ++sequence) {
            backlog.push(Batch{sequence, 0, 10, 0, std::string(100000, 'x')}, 1000 * sequence);
            backlog.spool_memory(1000 * sequence, false);  // as while the database fails
        }
    };
    push(25);  // the disk takes about 20
    EXPECT_EQ(backlog.batches_dropped(), 0u);
    EXPECT_LT(backlog.spool().batches(), 25u);
    push(35);
    EXPECT_GT(backlog.batches_dropped(), 0u);
    EXPECT_EQ(backlog.rows_dropped(), 10 * backlog.batches_dropped());
    Batch batch;
    bool from_spool = false;
    std::uint64_t expected = backlog.batches_dropped();
    int from_memory = 0;
    while (backlog.next(batch, from_spool, error)) {
        EXPECT_EQ(batch.sequence, expected++);
        from_memory += from_spool ? 0 : 1;
        backlog.inserted(batch, from_spool);
    }
    EXPECT_EQ(expected, 60u);  // every batch kept or counted
    EXPECT_EQ(from_memory, 10);  // the memory bound's worth
    backlog.say_drops(1000000);
    std::fclose(log);
    const std::string lines = text;
    std::free(text);
    EXPECT_NE(lines.find("No space left on device; batches wait in memory"), std::string::npos) << lines;
    EXPECT_NE(lines.find("ClickHouse events dropped, oldest first: "), std::string::npos) << lines;
    EXPECT_NE(lines.find("(memory and the spool are full)"), std::string::npos) << lines;
}

class ClickHouseSinkServer : public ::testing::Test {
protected:
    static void SetUpTestSuite() { server_ = new ClickHouseServer; }
    static void TearDownTestSuite() { delete server_; }
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(server_->running() || server_->start(error)) << error;
    }
    static inline ClickHouseServer* server_ = nullptr;
};

// The previous version made `client` LowCardinality(String); its table and
// its spool files (the same RowBinary bytes) are taken as they are.
TEST_F(ClickHouseSinkServer, TakesATableAndSpoolFilesOfThePreviousVersion) {
    std::string sql = create_table_sql("previous");
    sql.replace(sql.find("client String"), 13, "client LowCardinality(String)");
    HttpPost http;
    std::string error;
    ASSERT_TRUE(http.post(server_->url() + "?allow_experimental_low_cardinality_type=1", sql, error)) << error;
    TempDir dir;
    {
        Spool spool;
        ASSERT_TRUE(spool.open(dir.path(), 1 << 20, previous_row_layout(), error)) << error;
        std::string rows;
        EventMessage event;
        event.time = 1796624400;
        event.client = "192.0.2.9";
        append_row(rows, "127.0.0.1:1", "3.6.8", event, DnsSummary{}, 1, 0);
        ASSERT_TRUE(spool.push(0, 1, rows, error)) << error;
    }
    CollectorProcess collector({"--listen", "127.0.0.1:0", "--clickhouse", server_->url(), "--clickhouse-table",
                                "previous", "--spool", dir.path()});
    AgentSocket agent(collector.wait_listening());
    ByteVector bytes = record(hello());
    append(bytes, record(event_message(1796624401, "192.0.2.10", "192.0.2.1", 0, dns_packet(1, 0x0100, "a.test"))));
    ASSERT_TRUE(agent.send(bytes));
    std::string clients;
    for (int i = 0; i < 100 && clients != "192.0.2.10\n192.0.2.9"; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        clients = server_->query("SELECT client FROM previous ORDER BY client");
    }
    EXPECT_EQ(clients, "192.0.2.10\n192.0.2.9") << collector.stderr_text();
    // The conversion docs/clickhouse.md gives.
    EXPECT_EQ(server_->query("ALTER TABLE previous MODIFY COLUMN client String"), "");
    EXPECT_EQ(server_->query("SELECT toTypeName(client), count() FROM previous GROUP BY client ORDER BY client"),
              "String\t1\nString\t1");
}

// The collector with its spool on a 2 MiB disk and the server down: what
// the disk cannot take waits in memory, and all of it goes in later.
TEST_F(ClickHouseSinkServer, ASpoolOnAFullDiskLosesNoRowWhileMemoryHasRoom) {
    SmallDisk disk;
    if (disk.path().empty()) {
        GTEST_SKIP() << "cannot mount a 2 MiB tmpfs here (" << disk.error() << ")";
    }
    server_->stop();
    CollectorProcess collector({"--listen", "127.0.0.1:0", "--clickhouse", server_->url(), "--clickhouse-table",
                                "full_disk", "--clickhouse-batch-rows", "1000", "--spool", disk.path()});
    AgentSocket agent(collector.wait_listening());
    ByteVector bytes = record(hello());
    for (int n = 0; n < 30000; ++n) {  // about 3.6 MB of rows
        append(bytes, record(event_message(1796624400, "192.0.2.7", "192.0.2.1", 0,
                                           dns_packet(static_cast<std::uint16_t>(n), 0x0100, "a.test"))));
    }
    ASSERT_TRUE(agent.send(bytes));
    EXPECT_TRUE(collector.wait_stderr("No space left on device; batches wait in memory")) << collector.stderr_text();
    std::string error;
    ASSERT_TRUE(server_->start(error)) << error;
    std::string count;
    for (int i = 0; i < 600 && count != "30000"; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        count = server_->query("SELECT count() FROM full_disk");
    }
    EXPECT_EQ(count, "30000") << collector.stderr_text();
    collector.signal(SIGTERM);
    EXPECT_EQ(collector.wait_exit(), 0);
    EXPECT_NE(collector.stderr_text().find("dropped 0 (0 rows), left in the spool 0"), std::string::npos)
        << collector.stderr_text();
}

}  // namespace
}  // namespace kr::collector::test
