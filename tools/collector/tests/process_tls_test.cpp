#include <openssl/ssl.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <thread>

#include "tests/process_helpers.h"

namespace kr::collector::test {
namespace {

TEST(CollectorProcess, TlsGivesThePlaintextJsonWhileStalledPlaintextAndRefusedPeersAreClosed) {
    TempDir dir;
    ASSERT_TRUE(make_certificates(dir.file("")));
    const std::size_t events = 3000;
    ByteVector bytes = hello_record();
    for (std::size_t i = 0; i < events; ++i) {
        const auto id = static_cast<std::uint16_t>(i);
        append(bytes, event_record("192.0.2." + std::to_string(i % 200), "192.0.2.1", i % 2,
                                   dns_packet(id, i % 3 ? 0x0100 : 0x8183, "n" + std::to_string(i) + ".example"),
                                   1796624400 + static_cast<std::uint32_t>(i)));
    }
    std::vector<json> expected;
    {
        CollectorProcess plain({"--listen", "127.0.0.1:0"});
        AgentSocket agent(plain.wait_listening());
        ASSERT_TRUE(agent.send(bytes));
        ASSERT_TRUE(plain.wait_stdout_lines(events)) << plain.stderr_text();
        expected = parsed(plain.stdout_lines());
    }
    chmod(dir.file("collector.key").c_str(), 0644);  // used, and said to be readable by all
    CollectorProcess collector({"--listen", "127.0.0.1:0", "--tls-cert", dir.file("collector.pem"), "--tls-key",
                                dir.file("collector.key"), "--tls-client-ca", dir.file("ca.pem"),
                                "--tls-handshake-timeout", "8"});
    const std::uint16_t port = collector.wait_listening();
    ASSERT_NE(port, 0) << collector.stderr_text();
    EXPECT_NE(collector.stderr_text().find("collector: warning: --tls-key " + dir.file("collector.key") +
                                          " can be read by every user (mode 0644): chmod 600 it\n"),
              std::string::npos);
    // A flood of peers that stall their handshake: silent, or inside their first record.
    std::vector<std::unique_ptr<AgentSocket>> stalled;
    for (int i = 0; i < 20; ++i) {
        stalled.push_back(std::make_unique<AgentSocket>(port));
        ASSERT_TRUE(stalled.back()->send(i % 2 ? ByteVector{0x16, 0x03, 0x01} : ByteVector{}));
    }
    AgentSocket plaintext(port);
    ASSERT_TRUE(plaintext.send(hello_record()));
    EXPECT_TRUE(plaintext.wait_closed());
    EXPECT_TRUE(collector.wait_stderr("error from " + plaintext.local_address() +
                                      ": no TLS handshake (first byte 0x00; an agent without tls on?); "
                                      "connection closed\n"));

    AgentSocket agent(port);
    ASSERT_TRUE(agent.start_tls(dir.file("ca.pem"), dir.file("agent.pem"), dir.file("agent.key")));
    ASSERT_TRUE(agent.send(bytes));
    ASSERT_TRUE(collector.wait_stdout_lines(events)) << collector.stderr_text();
    EXPECT_EQ(collector.stderr_text().find("not done within"), std::string::npos) << "the stream waited for them";
    std::vector<json> lines = parsed(collector.stdout_lines());
    for (json& line : lines) {
        EXPECT_EQ(line["peer"], agent.local_address());
        line.erase("peer");
    }
    for (json& line : expected) {
        line.erase("peer");
    }
    EXPECT_EQ(lines, expected);
    const std::string established = collector.stderr_text().substr(collector.stderr_text().find(" TLS established"));
    EXPECT_EQ(established.substr(0, established.find('\n')).find(" TLS established: TLSv1.3, TLS_"), 0u);
    EXPECT_NE(established.find(", client CN=agent-1,O=Example\n"), std::string::npos) << established;
    for (const auto& peer : stalled) {
        EXPECT_TRUE(peer->wait_closed());
    }
    EXPECT_TRUE(collector.wait_stderr("TLS handshake not done within 8 s; connection closed\n"));

    // TLS 1.2 as an agent with a certificate speaks it: no ticket and no session id to resume
    // with (every connection is checked in full), and a renegotiation refused.
    AgentSocket tls12(port);
    ASSERT_TRUE(tls12.start_tls(dir.file("ca.pem"), dir.file("agent.pem"), dir.file("agent.key"), TLS1_2_VERSION));
    unsigned int id_length = 1;
    SSL_SESSION_get_id(SSL_get0_session(tls12.tls()), &id_length);
    EXPECT_EQ(0u, id_length);
    EXPECT_EQ(0, SSL_SESSION_has_ticket(SSL_get0_session(tls12.tls())));
    EXPECT_EQ(1, SSL_renegotiate(tls12.tls()));
    EXPECT_NE(1, SSL_do_handshake(tls12.tls()));

    const struct {
        const char* name;  // of the client certificate, "" for none
        std::string problem;
        int version = 0;
        const char* ciphers = "";
    } refused[] = {
        {"", "peer did not return a certificate"},
        {"stranger", "certificate verify failed: unable to get local issuer certificate"},
        {"agent", "unsupported protocol", TLS1_VERSION},
        {"agent", "unsupported protocol", TLS1_1_VERSION},
        {"agent", "no shared cipher", TLS1_2_VERSION, "ECDHE-ECDSA-AES128-SHA:ECDHE-ECDSA-AES256-SHA384"},
    };
    for (const auto& c : refused) {
        AgentSocket other(port);
        const std::string name = c.name;
        // With TLS 1.3 the client only learns of its refusal after its own handshake ends.
        other.start_tls(dir.file("ca.pem"), name.empty() ? "" : dir.file(name + ".pem"), dir.file(name + ".key"),
                        c.version, c.ciphers);
        EXPECT_TRUE(other.wait_closed()) << c.problem;
        EXPECT_TRUE(collector.wait_stderr("error from " + other.local_address() + ": TLS handshake failed: " +
                                          c.problem + "; connection closed\n"))
            << collector.stderr_text();
    }
    collector.signal(SIGTERM);
    EXPECT_EQ(collector.wait_exit(), 0);
    EXPECT_NE(collector.stderr_text().find("summary: connections 28, records " + std::to_string(events + 1) +
                                         ", events " + std::to_string(events) + ", errors 27\n"),
              std::string::npos)
        << collector.stderr_text();
}

// 2000 idle connections from 40 addresses against a collector with 1024 descriptors: the
// agent that streams goes on, a new mutual-TLS agent gets in, and "cannot accept" is said
// once, not once per accept.
TEST(CollectorProcess, AgentsGetInUnderAFloodOfIdleConnectionsWithFewDescriptors) {
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;  // the flood's sockets are this program's
    if (setrlimit(RLIMIT_NOFILE, &files) != 0 || files.rlim_cur < 2100) {
        GTEST_SKIP() << "this process may not open 2000 sockets";
    }
    TempDir dir;
    ASSERT_TRUE(make_certificates(dir.file("")));
    CollectorProcess collector({"--nofile=1024:1024", COLLECTOR_PATH, "--listen", "127.0.0.1:0", "--tls-cert",
                                dir.file("collector.pem"), "--tls-key", dir.file("collector.key"), "--tls-client-ca",
                                dir.file("ca.pem")},
                               "prlimit");
    const std::uint16_t port = collector.wait_listening();
    ASSERT_NE(port, 0) << collector.stderr_text();
    const auto events = [](int first) {
        ByteVector bytes;
        for (int id = first; id < first + 10; ++id) {
            const ByteVector packet = dns_packet(static_cast<std::uint16_t>(id), 0, "a.test");
            append(bytes, event_record("192.0.2.10", "192.0.2.1", 0, packet));
        }
        return bytes;
    };
    AgentSocket streaming(port);
    ASSERT_TRUE(streaming.start_tls(dir.file("ca.pem"), dir.file("agent.pem"), dir.file("agent.key")));
    ASSERT_TRUE(streaming.send(hello_record()) && streaming.send(events(0)));
    ASSERT_TRUE(collector.wait_stdout_lines(10)) << collector.stderr_text();
    // Flooded from a thread: the collector's lines must be read meanwhile, or it waits for stderr.
    std::vector<std::unique_ptr<AgentSocket>> flood;
    bool late_in = false;
    std::thread agents([&] {
        for (int i = 0; i < 2000; ++i) {
            flood.push_back(std::make_unique<AgentSocket>(port, ("127.0.1." + std::to_string(1 + i % 40)).c_str()));
        }
        AgentSocket late(port);
        late_in = late.start_tls(dir.file("ca.pem"), dir.file("agent.pem"), dir.file("agent.key")) &&
                  late.send(hello_record()) && late.send(events(10)) && streaming.send(events(20));
    });
    EXPECT_TRUE(collector.wait_stdout_lines(30, 30000)) << collector.stderr_text();
    agents.join();
    EXPECT_TRUE(late_in);
    const std::string failure = "collector: cannot accept a connection: Too many open files\n";
    EXPECT_TRUE(collector.wait_stderr(failure));
    const std::string text = collector.stderr_text();
    EXPECT_NE(text.find("collector: open files: at most 1024\n"), std::string::npos);
    EXPECT_EQ(text.find(failure), text.rfind(failure));
    collector.signal(SIGTERM);
    EXPECT_EQ(collector.wait_exit(), 0);
    // Nor a flood of lines: past the first connections of an interval, those
    // that never sent a hello are counted; an agent is logged at its hello.
    const std::string all = collector.stderr_text();
    std::size_t connected = 0;
    for (std::size_t at = all.find(" connected\n"); at != std::string::npos; at = all.find(" connected\n", at + 1)) {
        ++connected;
    }
    EXPECT_LE(connected, 52u) << all;
    EXPECT_NE(all.find(" more connections closed before their hello, not logged one by one\n"), std::string::npos);
}

}  // namespace
}  // namespace kr::collector::test
