// Where the collector keeps ClickHouse's rows when the server does not take
// them: a hung server, a full spool.
#include <netinet/in.h>
#include <sys/socket.h>

#include "tests/outputs/clickhouse/clickhouse_harness.h"

namespace kr::collector::test {
namespace {

// A server that accepts (the kernel completes the handshake) and never
// answers: agents are served from the start, and a stop drops what memory
// holds after its 10 s, with the line that says so.
TEST(ClickHouseHolding, AHungServerDelaysNoAgentAndAStopSaysWhatItDrops) {
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

}  // namespace
}  // namespace kr::collector::test
