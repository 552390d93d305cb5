#include "tests/process_helpers.h"

namespace kr::collector::test {
namespace {

ByteVector numbered_records(int first, int count) {
    ByteVector bytes = hello_record();
    for (int n = first; n < first + count; ++n) {
        const std::string name = "e" + std::to_string(n) + ".test";
        append(bytes, event_record("192.0.2.10", "192.0.2.1", 0, dns_packet(static_cast<std::uint16_t>(n), 0x0100, name)));
    }
    return bytes;
}

// What dnstap-ldns shows of each message, one line each: identity, version,
// type, time, family, protocol, addresses, rcode and id, question.
std::vector<std::string> dnstap_ldns_view(const std::string& path) {
    int status = 0;
    const std::string yaml = run_command({"dnstap-ldns", "-y", "-r", path}, 30000, status);
    std::vector<std::string> messages;
    for (std::size_t start = 0, end; (end = yaml.find("---\n", start)) != std::string::npos; start = end + 4) {
        const std::string doc = yaml.substr(start, end - start);
        std::string line;
        for (const char* key : {"identity: ", "version: ", "  type: ", "_time: !!timestamp ", "socket_family: ",
                                "socket_protocol: ", "query_address: ", "response_address: ", "rcode: ",
                                "SECTION:\n    ;"}) {
            const std::size_t at = doc.find(key);
            const std::size_t from = at + std::strlen(key);
            line += (at == std::string::npos ? "?" : doc.substr(from, doc.find('\n', from) - from)) + "|";
        }
        messages.push_back(line);
    }
    EXPECT_EQ(status, 0);
    return messages;
}

// The sample capture, replayed by the real agent (IPv6 clients too), as JSON
// lines and as a dnstap file: dnstap-ldns reads the same events, already
// while the collector runs. A file that cannot be written ends it with status 1.
TEST(CollectorProcess, DnstapFileOfTheSampleCaptureReadsInDnstapLdnsAsTheJsonLines) {
    TempDir dir;
    CollectorProcess collector({"--listen", "127.0.0.1:0", "--json", "-", "--dnstap", dir.file("out.dnstap")});
    const std::uint16_t port = collector.wait_listening();
    ASSERT_NE(port, 0) << collector.stderr_text();
    std::ofstream(dir.file("agent.conf")) << "target 127.0.0.1:" << port << " 2\ncapture file:" << SOURCE_DIR
                                          << "/examples/sample-dns.pcap\ncapture-port 53530\nipv4-clients-only off\n";
    CollectorProcess agent({dir.file("agent.conf")}, AGENT_PATH);
    ASSERT_TRUE(collector.wait_stdout_lines(12)) << collector.stderr_text();
    const std::vector<std::string> live = dnstap_ldns_view(dir.file("out.dnstap"));
    agent.signal(SIGTERM);
    collector.signal(SIGTERM);
    ASSERT_EQ(collector.wait_exit(), 0);

    const std::map<int, std::string> types{{1, "A"}, {15, "MX"}, {28, "AAAA"}};
    const std::map<int, std::string> rcodes{{0, "NOERROR"}, {3, "NXDOMAIN"}};
    std::vector<std::string> expected;
    for (const json& line : parsed(collector.stdout_lines())) {
        const std::string client = line["client"];
        const std::string peer = line["peer"];
        std::string time = line["iso_time"];
        time = time.replace(10, 1, " ").substr(0, 19) + ".000000";
        expected.push_back("\"" + peer.substr(0, peer.rfind(':')) + "\"|\"3.6.8\"|" +
                           (line["qr"] ? "CLIENT_RESPONSE|" : "CLIENT_QUERY|") +
                           time + "|" + (client.find(':') != std::string::npos ? "INET6|" : "INET|") +
                           (line["tcp"] ? "TCP|\"" : "UDP|\"") + client + "\"|\"" + line["server"].get<std::string>() +
                           "\"|" + rcodes.at(line["rcode"]) + ", id: " + std::to_string(line["id"].get<int>()) + "|" +
                           line["qname"].get<std::string>() + ".\tIN\t" + types.at(line["qtype"]) + "|");
    }
    ASSERT_EQ(expected.size(), 12u);
    EXPECT_EQ(dnstap_ldns_view(dir.file("out.dnstap")), expected);
    EXPECT_EQ(live, expected);

    CollectorProcess full({"--listen", "127.0.0.1:0", "--dnstap", "/dev/full"});
    // The file's first write may fail, and the collector end, before the send does.
    AgentSocket(full.wait_listening()).send(numbered_records(0, 8));
    EXPECT_EQ(full.wait_exit(), 1);
    EXPECT_NE(full.stderr_text().find("collector: write to /dev/full failed: No space left on device\n"),
              std::string::npos)
        << full.stderr_text();
}

// Every frame fstrm_capture wrote, as dnstap-ldns's one-line view; each must be new.
std::set<std::string> received_once(const std::string& path, std::size_t& count) {
    int status = 0;
    std::istringstream lines(run_command({"dnstap-ldns", "-q", "-r", path}, 60000, status));
    std::set<std::string> names;
    count = 0;
    for (std::string line; std::getline(lines, line); ++count) {
        EXPECT_TRUE(names.insert(line.substr(line.find('"'))).second) << "twice: " << line;
    }
    return names;
}

// 100 000 events replayed by the real agent in 64 KiB batches reach
// fstrm_capture over a Unix socket through the smallest queue, once each; then, with the receiver stopped (SIGSTOP), a second
// collector still reads its agent at full speed, counts what its small queue
// drops, and exits in time.
TEST(CollectorProcess, SendsDnstapToFstrmCaptureOverAUnixSocketAndDropsRatherThanWaitForIt) {
    TempDir dir;
    const std::string socket = "unix:" + dir.file("dnstap.sock");
    // -dddd: a line when a connection closes, with the frames it read.
    CollectorProcess capture({"-dddd", "-t", "protobuf:dnstap.Dnstap", "-u", dir.file("dnstap.sock"), "-w",
                              dir.file("cap.fstrm")},
                             "fstrm_capture");
    ASSERT_TRUE(capture.wait_stderr("opened output file")) << capture.stderr_text();
    {
        std::string error;
        ASSERT_TRUE(write_capture(dir.file("load.pcap"), 1, 100000, error)) << error;
        CollectorProcess collector(
            {"--listen", "127.0.0.1:0", "--dnstap-socket", socket, "--dnstap-queue", "65536", "--stats-interval", "1"});
        std::ofstream(dir.file("agent.conf")) << "target 127.0.0.1:" << collector.wait_listening()
                                              << " 2\nsend-batch 65536\ncapture file:" << dir.file("load.pcap") << "\n";
        CollectorProcess agent({dir.file("agent.conf")}, AGENT_PATH);
        EXPECT_TRUE(collector.wait_stderr("events 100000, errors 0, dnstap frames sent 100000, dropped 0, "
                                          "receiver connections 1\n",
                                          120000))
            << collector.stderr_text();
        agent.signal(SIGTERM);
        collector.signal(SIGTERM);
        EXPECT_EQ(collector.wait_exit(), 0);
        EXPECT_TRUE(capture.wait_stderr(": closing (read 100000 frames")) << capture.stderr_text();
    }
    CollectorProcess collector({"--listen", "127.0.0.1:0", "--dnstap-socket", socket, "--dnstap-queue", "65536",
                                "--metrics", "127.0.0.1:0"});
    AgentSocket agent(collector.wait_listening());
    ASSERT_TRUE(collector.wait_stderr(socket + ": connected\n")) << collector.stderr_text();
    capture.signal(SIGSTOP);
    ASSERT_TRUE(agent.send(numbered_records(100000, 20000)));
    agent.close();
    ASSERT_TRUE(collector.wait_stderr("disconnected after 20001 records")) << collector.stderr_text();
    EXPECT_GT(sample_value(scrape_metrics(collector), "collector_dnstap_frames_dropped_total"), 0);
    collector.signal(SIGTERM);
    EXPECT_EQ(collector.wait_exit(), 0) << "a stalled receiver holds up the exit";
    const std::string& err = collector.stderr_text();
    const std::size_t at = err.find("dnstap frames sent ");
    ASSERT_NE(at, std::string::npos) << err;
    const long sent = std::atol(err.c_str() + at + 19);
    const long dropped = std::atol(err.c_str() + err.find("dropped ", at) + 8);
    EXPECT_EQ(sent + dropped, 20000) << err;
    EXPECT_GT(dropped, 0);

    capture.signal(SIGCONT);
    // It reads what waited in its socket, then finds the connection closed.
    const auto closed = [&capture] {
        const std::string& err = capture.stderr_text();
        return err.rfind(": closing (read ") > err.find(": closing (read ");
    };
    for (int i = 0; i < 100 && !closed(); ++i) {
        capture.wait_stderr("\n\n", 100);
    }
    capture.signal(SIGTERM);
    EXPECT_TRUE(capture.wait_stderr("closed output file")) << capture.stderr_text();
    std::size_t count = 0;
    const std::set<std::string> names = received_once(dir.file("cap.fstrm"), count);
    for (int n : {0, 50000, 99999}) {
        EXPECT_EQ(names.count("\"a1-" + std::to_string(n) + ".test.\" IN A"), 1u) << n;
    }
    EXPECT_GE(count, 100000u + sent);  // the last write cut at exit may have delivered part of its batch
    EXPECT_LE(count, 120000u);
}

// Over TCP: a receiver of another content type is named as refusing it; with
// none there the agent's events are read all the same and wait in the queue;
// a late fstrm_capture gets them, with the identity given for the agent's
// address and the version given (a scoped IPv6 client keeps its address).
// One that goes away while the sender is idle costs no frame: the next gets
// what came meanwhile.
TEST(CollectorProcess, ConnectsToALateFstrmCaptureOverTcpAndDeliversWhatWaited) {
    const int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const std::string port = std::to_string(ntohs(address.sin_port));
    close(probe);  // free for fstrm_capture later

    TempDir dir;
    const auto receiver = [&](const std::string& type, const std::string& file) {
        return std::make_unique<CollectorProcess>(
            std::vector<std::string>{"-t", type, "-a", "127.0.0.1", "-p", port, "-w", dir.file(file)}, "fstrm_capture");
    };
    auto capture = receiver("other/type", "other.fstrm");
    ASSERT_TRUE(capture->wait_stderr("opened output file")) << capture->stderr_text();
    const std::string target = "tcp:127.0.0.1:" + port;
    CollectorProcess collector({"--listen", "127.0.0.1:0", "--json", "-", "--dnstap-socket", target, "--dnstap-identity",
                                "127.0.0.1=dns1.example", "--dnstap-version", "dns1 9.9", "--metrics", "127.0.0.1:0"});
    const std::uint16_t listening = collector.wait_listening();
    ASSERT_TRUE(collector.wait_stderr(target + ": cannot connect: the receiver refused the content type "
                                               "protobuf:dnstap.Dnstap; retrying every second\n"))
        << collector.stderr_text();
    capture.reset();
    ASSERT_TRUE(collector.wait_stderr(target + ": cannot connect: Connection refused; retrying every second\n"))
        << collector.stderr_text();
    ByteVector bytes = numbered_records(0, 500);
    append(bytes, event_record("fe80::1%eth0", "fe80::35", 0, dns_packet(1, 0x0100, "scoped.test")));
    ASSERT_TRUE(AgentSocket(listening).send(bytes));
    ASSERT_TRUE(collector.wait_stdout_lines(501)) << collector.stderr_text();

    const auto sent_reaches = [&collector](double count) {
        double sent = 0;
        for (int i = 0; i < 100 && sent < count; ++i, usleep(100000)) {
            sent = sample_value(scrape_metrics(collector), "collector_dnstap_frames_sent_total");
        }
        return sent == count;
    };
    capture = receiver("protobuf:dnstap.Dnstap", "cap.fstrm");
    ASSERT_TRUE(collector.wait_stderr(target + ": connected\n")) << collector.stderr_text() << capture->stderr_text();
    EXPECT_TRUE(sent_reaches(501));
    capture->signal(SIGTERM);
    EXPECT_TRUE(capture->wait_stderr("closed output file")) << capture->stderr_text();
    ASSERT_TRUE(collector.wait_stderr(target + ": connection lost: the receiver closed the connection; reconnecting\n"))
        << collector.stderr_text();
    ASSERT_TRUE(AgentSocket(listening).send(numbered_records(1000, 500)));
    ASSERT_TRUE(collector.wait_stdout_lines(1001)) << collector.stderr_text();
    auto second = receiver("protobuf:dnstap.Dnstap", "second.fstrm");
    EXPECT_TRUE(sent_reaches(1001));
    collector.signal(SIGTERM);
    EXPECT_EQ(collector.wait_exit(), 0);
    EXPECT_NE(collector.stderr_text().find("dnstap frames sent 1001, dropped 0, receiver connections 2\n"),
              std::string::npos);
    second->signal(SIGTERM);
    EXPECT_TRUE(second->wait_stderr("closed output file")) << second->stderr_text();
    std::size_t count = 0;
    EXPECT_EQ(received_once(dir.file("cap.fstrm"), count).size(), 501u);
    EXPECT_EQ(received_once(dir.file("second.fstrm"), count).size(), 500u);
    int status = 0;
    const std::string yaml = run_command({"dnstap-ldns", "-y", "-r", dir.file("cap.fstrm")}, 30000, status);
    EXPECT_NE(yaml.find("identity: \"dns1.example\"\nversion: \"dns1 9.9\"\n"), std::string::npos);
    EXPECT_NE(yaml.find("socket_family: INET6\n  socket_protocol: UDP\n  query_address: \"fe80::1\"\n"
                        "  response_address: \"fe80::35\"\n"),
              std::string::npos)
        << yaml;
}

}  // namespace
}  // namespace kr::collector::test
