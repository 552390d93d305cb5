// Runs the real collector binary on a system-chosen loopback port and plays
// agents against it.
#include <thread>

#include "tests/process_helpers.h"

namespace kr::collector::test {
namespace {

TEST(CollectorProcess, WritesOneJsonLinePerEventAndASummaryOnSigterm) {
    CollectorProcess collector({"--listen", "127.0.0.1:0"});
    const std::uint16_t port = collector.wait_listening();
    ASSERT_NE(port, 0) << collector.stderr_text();
    AgentSocket agent(port);
    ASSERT_TRUE(agent.connected());
    ByteVector bytes = hello_record();
    append(bytes, event_record("192.0.2.10", "192.0.2.1", 0, dns_packet(0x1111, 0x0100, "www.example.com")));
    append(bytes, event_record("192.0.2.10", "192.0.2.1", 1, dns_packet(0x1111, 0x8183, "www.example.com", 28)));
    append(bytes, event_record("192.0.2.11", "192.0.2.1", 0, {0xAA, 0xBB}));
    ASSERT_TRUE(agent.send(bytes));
    ASSERT_TRUE(collector.wait_stdout_lines(3)) << collector.stderr_text();

    const std::vector<json> lines = parsed(collector.stdout_lines());
    ASSERT_EQ(lines.size(), 3u);
    for (const json& line : lines) {
        EXPECT_EQ(line["peer"], agent.local_address());
        EXPECT_EQ(line["version"], "3.6.8");
        EXPECT_EQ(line["time"], 1796624400u);
        EXPECT_EQ(line["iso_time"], "2026-12-07T06:20:00Z");
        EXPECT_EQ(line["server"], "192.0.2.1");
    }
    EXPECT_EQ(lines[0]["qname"], "www.example.com");
    EXPECT_EQ(lines[0]["qr"], false);
    EXPECT_EQ(lines[0]["tcp"], false);
    EXPECT_EQ(lines[1]["tcp"], true);
    EXPECT_EQ(lines[1]["rcode"], 3);
    EXPECT_EQ(lines[1]["qtype"], 28);
    EXPECT_EQ(lines[2]["client"], "192.0.2.11");
    EXPECT_EQ(lines[2]["size"], 2);
    EXPECT_TRUE(lines[2].contains("error"));

    agent.close();
    EXPECT_TRUE(collector.wait_stderr("disconnected after 4 records"));
    collector.signal(SIGTERM);
    EXPECT_EQ(collector.wait_exit(), 0);
    EXPECT_NE(collector.stderr_text().find("collector: summary: connections 1, records 4, events 3, errors 0"),
              std::string::npos)
        << collector.stderr_text();
}

TEST(CollectorProcess, ServesTwoAgentsAtOnceWithoutOneHoldingUpTheOther) {
    CollectorProcess collector({"--listen", "127.0.0.1:0"});
    const std::uint16_t port = collector.wait_listening();
    ASSERT_NE(port, 0) << collector.stderr_text();
    AgentSocket slow(port);
    AgentSocket fast(port);
    ASSERT_TRUE(slow.connected() && fast.connected());

    // The slow agent stops in the middle of a record...
    const ByteVector slow_event = event_record("10.0.0.1", "10.0.0.53", 0, dns_packet(1, 0x0100, "slow.example"));
    ByteVector slow_bytes = hello_record();
    append(slow_bytes, ByteVector(slow_event.begin(), slow_event.begin() + 10));
    ASSERT_TRUE(slow.send(slow_bytes));
    // ...while the fast one's events still come through.
    ByteVector fast_bytes = hello_record();
    append(fast_bytes, event_record("10.0.0.2", "10.0.0.53", 0, dns_packet(2, 0x0100, "fast.example")));
    ASSERT_TRUE(fast.send(fast_bytes));
    ASSERT_TRUE(collector.wait_stdout_lines(1)) << collector.stderr_text();

    ASSERT_TRUE(slow.send(ByteVector(slow_event.begin() + 10, slow_event.end())));
    ASSERT_TRUE(collector.wait_stdout_lines(2));
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(fast.send(event_record("10.0.0.2", "10.0.0.53", 0, dns_packet(10 + i, 0, "fast.example"))));
        ASSERT_TRUE(slow.send(event_record("10.0.0.1", "10.0.0.53", 0, dns_packet(20 + i, 0, "slow.example"))));
    }
    ASSERT_TRUE(collector.wait_stdout_lines(8));

    const std::vector<json> lines = parsed(collector.stdout_lines());
    EXPECT_EQ(lines[0]["peer"], fast.local_address());
    EXPECT_EQ(lines[0]["qname"], "fast.example");
    EXPECT_EQ(lines[1]["peer"], slow.local_address());
    std::vector<int> fast_ids;
    std::vector<int> slow_ids;
    for (const json& line : lines) {
        (line["peer"] == fast.local_address() ? fast_ids : slow_ids).push_back(line["id"].get<int>());
        EXPECT_EQ(line["qname"], line["peer"] == fast.local_address() ? "fast.example" : "slow.example");
    }
    EXPECT_EQ(fast_ids, (std::vector<int>{2, 10, 11, 12}));
    EXPECT_EQ(slow_ids, (std::vector<int>{1, 20, 21, 22}));
}

TEST(CollectorProcess, AMalformedRecordClosesOnlyItsConnection) {
    CollectorProcess collector({"--listen", "127.0.0.1:0", "--max-record", "200"});
    const std::uint16_t port = collector.wait_listening();
    ASSERT_NE(port, 0) << collector.stderr_text();
    AgentSocket keeper(port);
    ASSERT_TRUE(keeper.send(hello_record()));

    ByteVector device_overrun = event_message(1, "192.0.2.10", "192.0.2.1", 0, {});
    device_overrun[5] = 200;
    ByteVector server_overrun = event_message(1, "192.0.2.10", "192.0.2.1", 0, {});
    server_overrun[16] = 11;
    const struct {
        ByteVector bad;  // after a hello and one good event
        bool agent_closes;
        std::string problem;
    } cases[] = {
        {record({0x07, 0, 0, 0, 0, 0, 0, 0}), false, "record 3: bad format byte 0x07 (expected 2, an event message)"},
        {record(hello()), false, "record 3: bad format byte 0x01 (expected 2, an event message)"},
        {record({}), false, "record 3: empty record"},
        {record(device_overrun), false, "record 3: device address length 200 overruns the 27-byte record"},
        {record(server_overrun), false, "record 3: server address length 11 overruns the 27-byte record"},
        {{0x00, 0x00, 0x01, 0x00, 0x02}, false, "record length 256 exceeds the maximum 200"},
        {{0x00, 0x00, 0x00, 0x1E, 0x02, 0x00}, true, "stream ends inside a record (2 of 30 bytes)"},
    };
    std::size_t expected_lines = 0;
    int query_id = 0;
    for (const auto& c : cases) {
        AgentSocket bad(port);
        ByteVector bytes = hello_record();
        append(bytes, event_record("192.0.2.10", "192.0.2.1", 0, dns_packet(++query_id, 0, "before.example")));
        append(bytes, c.bad);
        ASSERT_TRUE(bad.send(bytes));
        const std::string peer = bad.local_address();
        if (c.agent_closes) {
            bad.close();
        } else {
            EXPECT_TRUE(bad.wait_closed()) << c.problem;
        }
        EXPECT_TRUE(collector.wait_stderr("collector: error from " + peer + ": " + c.problem + "; connection closed\n"))
            << collector.stderr_text();
        // What came before the bad record was kept, and the other agent goes on.
        ASSERT_TRUE(keeper.send(event_record("192.0.2.20", "192.0.2.1", 0, dns_packet(++query_id, 0, "keeper.example"))));
        expected_lines += 2;
        ASSERT_TRUE(collector.wait_stdout_lines(expected_lines)) << c.problem;
        const std::vector<json> lines = parsed(collector.stdout_lines());
        EXPECT_EQ(lines[expected_lines - 2]["peer"], peer);
        EXPECT_EQ(lines[expected_lines - 2]["qname"], "before.example");
        EXPECT_EQ(lines[expected_lines - 1]["peer"], keeper.local_address());
    }
    AgentSocket bad_hello(port);
    ASSERT_TRUE(bad_hello.send(event_record("192.0.2.10", "192.0.2.1", 0, {})));
    EXPECT_TRUE(bad_hello.wait_closed());
    EXPECT_TRUE(collector.wait_stderr("collector: error from " + bad_hello.local_address() +
                                      ": record 1: bad format byte 0x02 (expected 1, a hello, first on a connection)"));

    collector.signal(SIGTERM);
    EXPECT_EQ(collector.wait_exit(), 0);
    EXPECT_NE(collector.stderr_text().find(", errors 8\n"), std::string::npos) << collector.stderr_text();
    EXPECT_EQ(collector.stdout_lines().size(), expected_lines);
}

TEST(CollectorProcess, WritesACaptureFileThatTsharkReads) {
    int status = 0;
    run_command({"tshark", "--version"}, 30000, status);
    if (status != 0) {
        GTEST_SKIP() << "tshark is not available";
    }
    TempDir dir;
    CollectorProcess collector(
        {"--listen", "127.0.0.1:0", "--pcap", dir.file("out.pcap"), "--json", dir.file("out.json")});
    const std::uint16_t port = collector.wait_listening();
    ASSERT_NE(port, 0) << collector.stderr_text();
    AgentSocket agent(port);
    ByteVector bytes = hello_record();
    append(bytes, event_record("192.0.2.10", "192.0.2.1", 0, dns_packet(0x0102, 0x0100, "www.example.com")));
    append(bytes, event_record("192.0.2.10", "192.0.2.1", 0, dns_packet(0x0102, 0x8180, "www.example.com")));
    append(bytes, event_record("2001:db8::5", "192.0.2.1", 0, dns_packet(3, 0x0100, "v6.example")));
    append(bytes, event_record("2001:db8::5", "2001:db8::35", 1, dns_packet(5, 0x8180, "v6.example")));
    append(bytes, event_record("client.example", "192.0.2.1", 0, dns_packet(6, 0x0100, "named.example")));
    append(bytes, event_record("198.51.100.7", "192.0.2.1", 1, dns_packet(4, 0x0100, "tcp.example.net")));
    append(bytes, event_record("198.51.100.7", "192.0.2.1", 1, dns_packet(4, 0x8180, "tcp.example.net")));
    ASSERT_TRUE(agent.send(bytes));
    agent.close();
    ASSERT_TRUE(collector.wait_stderr("disconnected after 8 records")) << collector.stderr_text();
    EXPECT_NE(collector.stderr_text().find("left out of the capture file: client address 'client.example' is not "
                                           "IPv4 or IPv6 text"),
              std::string::npos);
    collector.signal(SIGTERM);
    ASSERT_EQ(collector.wait_exit(), 0);
    EXPECT_NE(collector.stderr_text().find("records 8, events 7, errors 0, left out of the capture file 1\n"),
              std::string::npos);

    std::ifstream json_file(dir.file("out.json"));
    std::vector<std::string> json_lines;
    for (std::string line; std::getline(json_file, line);) {
        json_lines.push_back(line);
    }
    ASSERT_EQ(json_lines.size(), 7u);
    EXPECT_EQ(json::parse(json_lines[2])["client"], "2001:db8::5");
    EXPECT_EQ(json::parse(json_lines[3])["server"], "2001:db8::35");

    // tshark also checks the checksums (bad ones show as a non-empty status).
    const std::string fields =
        run_command({"timeout", "60", "tshark", "-r", dir.file("out.pcap"), "-o", "udp.check_checksum:TRUE", "-o",
                     "tcp.check_checksum:TRUE", "-T", "fields", "-E", "separator=,", "-e", "ip.src", "-e", "ip.dst",
                     "-e", "ipv6.src", "-e", "ipv6.dst", "-e", "udp.dstport", "-e", "tcp.dstport", "-e",
                     "udp.checksum.status", "-e", "tcp.checksum.status", "-e", "dns.qry.name"},
                    70000, status);
    ASSERT_EQ(status, 0);
    const std::string client_port = std::to_string(49152 + 0x0102);
    const std::string tcp_port = std::to_string(49152 + 4);
    EXPECT_EQ(fields,
              "192.0.2.10,192.0.2.1,,,53,,1,,www.example.com\n"
              "192.0.2.1,192.0.2.10,,," + client_port + ",,1,,www.example.com\n"
              ",,2001:db8::5,::ffff:192.0.2.1,53,,1,,v6.example\n"
              ",,2001:db8::35,2001:db8::5,," + std::to_string(49152 + 5) + ",,1,v6.example\n"
              "198.51.100.7,192.0.2.1,,,,53,,1,tcp.example.net\n"
              "192.0.2.1,198.51.100.7,,,," + tcp_port + ",,1,tcp.example.net\n");
}

TEST(CollectorProcess, AccountsPerAgentInStatsLinesAndTheSummary) {
    CollectorProcess collector({"--listen", "127.0.0.1:0", "--stats-interval", "1", "--max-agents", "2"});
    const std::uint16_t port = collector.wait_listening();
    ASSERT_NE(port, 0) << collector.stderr_text();
    const ByteVector event = event_record("192.0.2.10", "192.0.2.1", 0, dns_packet(1, 0x0100, "a.example"));
    const ByteVector later =
        event_record("2001:db8::5", "192.0.2.1", 0, dns_packet(2, 0x0100, "a.example"), 1796624460);
    ByteVector first_bytes = hello_record();
    append(first_bytes, event);
    ByteVector later_bytes = hello_record();
    append(later_bytes, later);
    {
        // One agent reconnecting: its counts add up.
        AgentSocket first(port);
        ASSERT_TRUE(first.send(first_bytes));
        const std::string peer = first.local_address();
        first.close();
        ASSERT_TRUE(collector.wait_stderr(peer + " disconnected"));
    }
    AgentSocket again(port);
    ASSERT_TRUE(again.send(later_bytes));
    AgentSocket bad(port, "127.0.0.2");
    ByteVector bad_bytes = hello_record();
    append(bad_bytes, record({0x07}));
    ASSERT_TRUE(bad.send(bad_bytes));
    EXPECT_TRUE(bad.wait_closed());
    // Past the bound of two agents, the others share one entry.
    AgentSocket third(port, "127.0.0.3");
    ASSERT_TRUE(third.send(first_bytes));
    AgentSocket fourth(port, "127.0.0.4");
    ASSERT_TRUE(fourth.send(ByteVector(first_bytes.begin(), first_bytes.end() - 3)));
    const std::string fourth_peer = fourth.local_address();
    fourth.close();
    ASSERT_TRUE(collector.wait_stderr("error from " + fourth_peer + ": stream ends inside a record"));

    const auto n = [](std::size_t value) { return std::to_string(value); };
    const std::string local = "agent 127.0.0.1: open connections 1, connections 2, records 4, events 2, bytes " +
                              n(first_bytes.size() + later_bytes.size()) +
                              ", format errors 0, broken 0, first event 2026-12-07T06:20:00Z, last event "
                              "2026-12-07T06:21:00Z\n";
    const std::string other = "agent other: open connections 1, connections 2, records 3, events 1, bytes " +
                              n(2 * first_bytes.size() - 3) +
                              ", format errors 0, broken 1, first event 2026-12-07T06:20:00Z, last event "
                              "2026-12-07T06:20:00Z\n";
    EXPECT_TRUE(collector.wait_stderr("collector: stats: connections 5, records 9, events 3, errors 2\n"
                                      "collector: stats: " + local))
        << collector.stderr_text();
    EXPECT_TRUE(collector.wait_stderr("collector: stats: " + other)) << collector.stderr_text();

    collector.signal(SIGTERM);
    EXPECT_EQ(collector.wait_exit(), 0);
    auto closed = [](std::string line) { return line.replace(line.find("open connections 1"), 18, "open connections 0"); };
    EXPECT_NE(collector.stderr_text().find(
                  "collector: summary: connections 5, records 9, events 3, errors 2\n"
                  "collector: " + closed(local) +
                  "collector: agent 127.0.0.2: open connections 0, connections 1, records 2, events 0, bytes " +
                  n(bad_bytes.size()) + ", format errors 1, broken 0, first event -, last event -\n" +
                  "collector: " + closed(other)),
              std::string::npos)
        << collector.stderr_text();
}

// Runs promtool's checks (format and naming) on a scrape; "" when it passes.
std::string promtool_problems(const TempDir& dir, const std::string& scrape) {
    std::ofstream(dir.file("scrape.txt")) << scrape;
    int status = 0;
    const std::string output =
        run_command({"sh", "-c", "promtool check metrics <" + dir.file("scrape.txt") + " 2>&1"}, 30000, status);
    return status == 0 ? "" : "status " + std::to_string(status) + ": " + output;
}

TEST(CollectorProcess, ServesMetricsThatPromtoolAcceptsAndThatMatchTheJsonLines) {
    int status = 0;
    run_command({"promtool", "--version"}, 30000, status);
    if (status != 0) {
        GTEST_SKIP() << "promtool is not available";
    }
    TempDir dir;
    // 256 descriptors: the endpoint keeps at most 32 connections.
    CollectorProcess collector({"--nofile=256:256", COLLECTOR_PATH, "--listen", "127.0.0.1:0", "--metrics", "127.0.0.1:0",
                                "--json", "-", "--pcap", dir.file("out.pcap")},
                               "prlimit");
    const std::uint16_t port = collector.wait_listening();
    ASSERT_NE(port, 0) << collector.stderr_text();
    auto scrape = [&collector] { return scrape_metrics(collector); };
    const std::string peer = "{peer=\"127.0.0.1\"}";

    AgentSocket agent(port);
    ASSERT_TRUE(collector.wait_stderr(agent.local_address() + " connected"));
    ByteVector bytes = hello_record();
    std::size_t sent_bytes = 0;
    std::size_t sent_events = 0;
    double seen_events = 0;
    for (int round = 0; round < 6; ++round) {
        for (int i = 0; i < 100; ++i, ++sent_events) {
            const std::string client = i == 50 && round == 0 ? "client.example" : "192.0.2.10";
            append(bytes, event_record(client, "192.0.2.1", 0, dns_packet(static_cast<std::uint16_t>(i), 0, "a.example"),
                                       1796624400 + static_cast<std::uint32_t>(sent_events)));
        }
        ASSERT_TRUE(agent.send(bytes));
        sent_bytes += bytes.size();
        bytes.clear();
        // A scrape while events arrive is well formed and never runs ahead.
        const std::string text = scrape();
        const double events = sample_value(text, "collector_events_total" + peer);
        EXPECT_GE(events, seen_events) << text;
        EXPECT_LE(events, static_cast<double>(sent_events)) << text;
        seen_events = events;
        if (round == 2) {
            EXPECT_EQ(promtool_problems(dir, text), "");
        }
    }
    ASSERT_TRUE(collector.wait_stdout_lines(sent_events)) << collector.stderr_text();
    const double lines = static_cast<double>(collector.stdout_lines().size());
    std::string text = scrape();
    EXPECT_EQ(promtool_problems(dir, text), "");
    EXPECT_EQ(sample_value(text, "collector_events_total" + peer), lines) << text;
    EXPECT_EQ(sample_value(text, "collector_records_total" + peer), lines + 1);
    EXPECT_EQ(sample_value(text, "collector_received_bytes_total" + peer), static_cast<double>(sent_bytes));
    EXPECT_EQ(sample_value(text, "collector_connections_total" + peer), 1);
    EXPECT_EQ(sample_value(text, "collector_open_connections" + peer), 1);
    EXPECT_EQ(sample_value(text, "collector_format_errors_total" + peer), 0);
    EXPECT_EQ(sample_value(text, "collector_first_event_timestamp_seconds" + peer), 1796624400);
    EXPECT_EQ(sample_value(text, "collector_last_event_timestamp_seconds" + peer), 1796624400 + lines - 1);
    EXPECT_EQ(sample_value(text, "collector_pcap_skipped_events_total"), 1);
    const double age = sample_value(text, "collector_last_record_age_seconds" + peer);
    EXPECT_GE(age, 0);
    EXPECT_LT(age, kWaitMs / 1000.0);

    agent.close();
    ASSERT_TRUE(collector.wait_stderr("disconnected after " + std::to_string(sent_events + 1) + " records"));
    text = scrape();
    EXPECT_EQ(sample_value(text, "collector_open_connections" + peer), 0) << text;
    EXPECT_EQ(sample_value(text, "collector_last_record_age_seconds" + peer), -1) << "only connected agents have an age";
    EXPECT_EQ(promtool_problems(dir, text), "");

    // Scrapes get through while sockets that send nothing, or a byte now and
    // then, are held and reopened: 8, then 300, more than the endpoint keeps.
    for (const int count : {8, 300}) {
        HeldSockets held(metrics_port(collector), count);
        for (int i = 0; i < 100 && held.opened() < count; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        int answered = 0;
        for (int i = 0; i < 20; ++i) {
            answered += scrape().empty() ? 0 : 1;
        }
        EXPECT_EQ(answered, 20) << count << " sockets held";
        EXPECT_GT(held.opened(), count == 8 ? 7 : 300) << "with 300, the oldest make room for newcomers";
    }
    collector.signal(SIGTERM);
    EXPECT_EQ(collector.wait_exit(), 0);
}

// What an agent has sent when the stop comes is read, a record begun then
// included; the connection then ends with a reset, so the agent's next send
// fails (and goes out again elsewhere) instead of vanishing.
TEST(CollectorProcess, SigintReadsWhatAgentsSentIntoTheJsonFileAndResetsThem) {
    TempDir dir;
    CollectorProcess collector({"--listen=127.0.0.1:0", "--json=" + dir.file("events.json")});
    const std::uint16_t port = collector.wait_listening();
    ASSERT_NE(port, 0) << collector.stderr_text();
    AgentSocket agent(port);
    ByteVector bytes = hello_record();
    for (int i = 0; i < 51; ++i) {
        append(bytes, event_record("192.0.2.10", "192.0.2.1", 0, dns_packet(static_cast<std::uint16_t>(i), 0, "a.example")));
    }
    const std::size_t cut = bytes.size() - 20;
    ASSERT_TRUE(agent.send(ByteVector(bytes.begin(), bytes.begin() + cut)));
    collector.signal(SIGINT);
    usleep(200000);
    ASSERT_TRUE(agent.send(ByteVector(bytes.begin() + cut, bytes.end())));
    ASSERT_EQ(collector.wait_exit(), 0);
    EXPECT_FALSE(agent.send(hello_record()));
    std::ifstream file(dir.file("events.json"));
    int count = 0;
    for (std::string line; std::getline(file, line); ++count) {
        EXPECT_EQ(json::parse(line)["id"], count);
    }
    EXPECT_EQ(count, 51);
    EXPECT_TRUE(collector.stdout_lines().empty());
}

TEST(CollectorProcess, RefusesBadOptionsAndUnusableAddressesWithStatus2) {
    {
        CollectorProcess collector({"--bogus"});
        EXPECT_EQ(collector.wait_exit(), 2);
        EXPECT_NE(collector.stderr_text().find("collector: unknown option '--bogus'\nusage: collector"),
                  std::string::npos)
            << collector.stderr_text();
    }
    {
        CollectorProcess collector({"--json", "/nonexistent-dir/out.json"});
        EXPECT_EQ(collector.wait_exit(), 2);
        EXPECT_NE(collector.stderr_text().find("cannot create /nonexistent-dir/out.json"), std::string::npos);
    }
    const int taken = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(taken, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(taken, 1), 0);
    ASSERT_EQ(getsockname(taken, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const std::string in_use = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
    {
        CollectorProcess collector({"--listen", in_use});
        EXPECT_EQ(collector.wait_exit(), 2);
        EXPECT_NE(collector.stderr_text().find("collector: cannot listen on " + in_use +
                                               ": bind() failed: Address already in use"),
                  std::string::npos)
            << collector.stderr_text();
    }
    {
        CollectorProcess collector({"--listen", "127.0.0.1:0", "--metrics", in_use});
        EXPECT_EQ(collector.wait_exit(), 2);
        EXPECT_NE(collector.stderr_text().find("collector: cannot serve metrics on " + in_use +
                                               ": Address already in use\n"),
                  std::string::npos)
            << collector.stderr_text();
    }
    close(taken);
    TempDir dir;
    ASSERT_TRUE(make_certificates(dir.file("")));
    const std::string cert = dir.file("collector.pem");
    for (const auto& [key, line] : {std::pair{dir.file("agent.key"), "--tls-key " + dir.file("agent.key") +
                                                                         " is not the key of the certificate in "
                                                                         "--tls-cert " + cert},
                                    std::pair{dir.file("none.key"), "cannot read --tls-key " + dir.file("none.key") +
                                                                        ": No such file or directory"}}) {
        CollectorProcess collector({"--listen", "127.0.0.1:0", "--tls-cert", cert, "--tls-key", key});
        EXPECT_EQ(collector.wait_exit(), 2);
        EXPECT_EQ(collector.stderr_text(), "collector: " + line + "\n");
    }
    // The page shows names and addresses: off loopback only with a password.
    std::ofstream(dir.file("empty")) << "\n";
    using Case = std::pair<std::vector<std::string>, std::string>;
    for (const auto& [args, line] :
         {Case{{"--web", "192.0.2.1:8080"}, "--web 192.0.2.1:8080 is not a loopback address: give --web-password-file\n"},
          Case{{"--web", "[::2]:8080"}, "--web [::2]:8080 is not a loopback address: give --web-password-file\n"},
          Case{{"--web", "127.0.0.1:0", "--web-password-file", dir.file("empty")},
               "--web-password-file " + dir.file("empty") + " has no password on its first line\n"}}) {
        CollectorProcess collector(args);
        EXPECT_EQ(collector.wait_exit(), 2);
        EXPECT_EQ(collector.stderr_text().substr(0, collector.stderr_text().find('\n') + 1), "collector: " + line);
    }
    {
        CollectorProcess collector({"--dnstap-socket", "tcp:localhost:6000"});
        EXPECT_EQ(collector.wait_exit(), 2);
        EXPECT_NE(collector.stderr_text().find("collector: bad --dnstap-socket value 'tcp:localhost:6000' (expected "
                                               "unix:PATH or tcp:ADDR:PORT with a numeric address)\n"),
                  std::string::npos)
            << collector.stderr_text();
    }
    {
        CollectorProcess collector({"--help"});
        EXPECT_EQ(collector.wait_exit(), 0);
        EXPECT_EQ(collector.stdout_lines().at(0),
                  "usage: collector [--listen ADDR:PORT] [--json PATH] [--pcap PATH] [--max-record BYTES]");
    }
}

}  // namespace
}  // namespace kr::collector::test
