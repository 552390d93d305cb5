// The ClickHouse output as the server and its files change under it: a
// hung server, a full spool, a table and spool files of the previous version.
#include <netinet/in.h>
#include <sys/socket.h>

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
    EXPECT_NE(collector.stderr_text().find("dropped 2 (3 rows)"), std::string::npos) << collector.stderr_text();
    close(hung);
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

}  // namespace
}  // namespace kr::collector::test
