// The ClickHouse output when the server hangs and when the spool's disk is full.
#include <netinet/in.h>
#include <sys/mount.h>

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
    sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(hung, reinterpret_cast<sockaddr*>(&address), length) | listen(hung, 8) |
                  getsockname(hung, reinterpret_cast<sockaddr*>(&address), &length),
              0);
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
    const std::string& said = collector.stderr_text();
    EXPECT_NE(said.find("ClickHouse events dropped, oldest first: 3 (a stop's 10 s ran out and there is no --spool)"
                        "\ncollector: summary"),
              std::string::npos)
        << said;
    close(hung);
}

// A spool on a full disk (a 2 MiB tmpfs) leaves batches in memory; only
// when memory is full too are rows dropped, the spool's oldest first, with
// a line; all that is kept comes out in order.
TEST(ClickHouseSink, ASpoolOnAFullDiskLeavesBatchesInMemoryAndBothFullDropTheOldest) {
    TempDir dir;
    if (mount("tmpfs", dir.path().c_str(), "tmpfs", 0, "size=2m") != 0) {
        GTEST_SKIP() << "cannot mount a 2 MiB tmpfs here: " << std::strerror(errno);
    }
    const std::unique_ptr<const char, void (*)(const char*)> unmount(
        dir.path().c_str(), [](const char* path) { umount2(path, MNT_DETACH); });
    char* text = nullptr;
    std::size_t size = 0;
    std::FILE* log = open_memstream(&text, &size);
    Backlog backlog(log, 1000000);
    std::string error;
    ASSERT_TRUE(backlog.open_spool(dir.path() + "/spool", 1 << 30, 1, 2, error)) << error;
    for (std::uint64_t sequence = 0; sequence < 60; ++sequence) {
        backlog.push(Batch{sequence, 0, 10, 0, std::string(100000, 'x')}, 1000 * sequence);
        backlog.spool_memory(1000 * sequence, false);  // as while the database fails
        if (sequence == 24) {  // more than the disk holds, less than both
            EXPECT_EQ(backlog.batches_dropped(), 0u);
        }
    }
    EXPECT_EQ(backlog.rows_dropped(), 10 * backlog.batches_dropped());
    Batch batch;
    bool from_spool = false;
    std::uint64_t expected = backlog.batches_dropped();
    while (backlog.next(batch, from_spool, error)) {
        EXPECT_EQ(batch.sequence, expected++);
        backlog.inserted(batch, from_spool);
    }
    EXPECT_EQ(expected, 60u);  // each kept or counted
    std::fclose(log);
    const std::string lines = text;
    std::free(text);
    EXPECT_NE(lines.find("No space left on device; batches wait in memory"), std::string::npos) << lines;
    EXPECT_NE(lines.find("ClickHouse events dropped, oldest first: 10 (memory and the spool are full)"),
              std::string::npos)
        << lines;
}

}  // namespace
}  // namespace kr::collector::test
