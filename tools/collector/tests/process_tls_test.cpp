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
    CollectorProcess collector({"--listen", "127.0.0.1:0", "--tls-cert", dir.file("collector.pem"), "--tls-key",
                                dir.file("collector.key"), "--tls-client-ca", dir.file("ca.pem"),
                                "--tls-handshake-timeout", "8"});
    const std::uint16_t port = collector.wait_listening();
    ASSERT_NE(port, 0) << collector.stderr_text();
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

    const struct {
        const char* name;  // of the client certificate, "" for none
        std::string problem;
    } refused[] = {
        {"", "peer did not return a certificate"},
        {"stranger", "certificate verify failed: unable to get local issuer certificate"},
    };
    for (const auto& c : refused) {
        AgentSocket other(port);
        const std::string name = c.name;
        // With TLS 1.3 the client only learns of its refusal after its own handshake ends.
        other.start_tls(dir.file("ca.pem"), name.empty() ? "" : dir.file(name + ".pem"), dir.file(name + ".key"));
        EXPECT_TRUE(other.wait_closed()) << c.problem;
        EXPECT_TRUE(collector.wait_stderr("error from " + other.local_address() + ": TLS handshake failed: " +
                                          c.problem + "; connection closed\n"))
            << collector.stderr_text();
    }
    collector.signal(SIGTERM);
    EXPECT_EQ(collector.wait_exit(), 0);
    EXPECT_NE(collector.stderr_text().find("summary: connections 24, records " + std::to_string(events + 1) +
                                         ", events " + std::to_string(events) + ", errors 23\n"),
              std::string::npos)
        << collector.stderr_text();
}

}  // namespace
}  // namespace kr::collector::test
