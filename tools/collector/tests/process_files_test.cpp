// The collector program's output files over time: appended to at a start,
// reopened on SIGHUP after a rotation, flushed at a stop.
#include "tests/process_helpers.h"

#include <numeric>

namespace kr::collector::test {
namespace {

// Rotated as logrotate does it (rename, then SIGHUP): what came before stays
// in the old files, what comes after goes to new ones that start with their
// own headers, nothing lost or written twice; SIGINT flushes them. A JSON file
// that exists is appended to.
TEST(CollectorProcess, SighupReopensRotatedFilesAndSigintFlushesThem) {
    TempDir dir;
    const std::vector<std::string> files = {dir.file("events.json"), dir.file("events.pcap"), dir.file("events.dnstap")};
    std::ofstream(files[0]) << "{\"id\":-1}\n";
    CollectorProcess collector({"--listen=127.0.0.1:0", "--json=" + files[0], "--pcap", files[1], "--dnstap", files[2]});
    const std::uint16_t port = collector.wait_listening();
    ASSERT_NE(port, 0) << collector.stderr_text();
    AgentSocket agent(port);
    auto send = [&](int from, int to) {
        ByteVector bytes = from == 0 ? hello_record() : ByteVector{};
        for (int i = from; i < to; ++i) {
            append(bytes, event_record("192.0.2.10", "192.0.2.1", 0, dns_packet(static_cast<std::uint16_t>(i), 0, "a.example")));
        }
        return agent.send(bytes);
    };
    auto ids = [](const std::string& path) {
        std::vector<int> out;
        std::ifstream file(path);
        for (std::string line; std::getline(file, line) && !file.eof();) out.push_back(json::parse(line)["id"]);  // whole lines
        return out;
    };
    ASSERT_TRUE(send(0, 20));
    for (int i = 0; i < 100 && ids(files[0]).size() < 21; ++i) usleep(50000);
    for (const auto& file : files) std::filesystem::rename(file, file + ".1");
    collector.signal(SIGHUP);
    ASSERT_TRUE(collector.wait_stderr("collector: reopened " + files[0] + " " + files[1] + " " + files[2] + "\n"));
    ASSERT_TRUE(send(20, 50));
    agent.close();
    ASSERT_TRUE(collector.wait_stderr("disconnected after 51 records"));
    collector.signal(SIGINT);
    ASSERT_EQ(collector.wait_exit(), 0);
    std::vector<int> before(21), after(30);
    std::iota(before.begin(), before.end(), -1);
    std::iota(after.begin(), after.end(), 20);
    EXPECT_EQ(ids(files[0] + ".1"), before);
    EXPECT_EQ(ids(files[0]), after);
    // Each file read whole by its own reader: one line per packet, per message.
    for (const auto& [suffix, count] : {std::pair<std::string, long>{".1", 20}, {"", 30}}) {
        for (const auto& reader : {std::vector<std::string>{"tcpdump", "-nr", files[1] + suffix},
                                   std::vector<std::string>{"dnstap-ldns", "-r", files[2] + suffix}}) {
            int status = -1;
            const std::string out = run_command(reader, 10000, status);
            EXPECT_EQ(status, 0) << reader[0] << suffix;
            EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), count) << reader[0] << suffix << "\n" << out;
        }
    }
    EXPECT_TRUE(collector.stdout_lines().empty());
}

}  // namespace
}  // namespace kr::collector::test
