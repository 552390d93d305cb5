#include "forwarder_helpers.h"

namespace kr::forward {
namespace {

// ---- TLS to a real OpenSSL peer (Linux) ----

kr::config::TlsSettings tls_settings(const kr::test::TestPki& pki, const std::string& name = "", bool client = false) {
    return {true, pki.pem("ca"), name, client ? pki.pem("client") : "", client ? pki.key("client") : "", ""};
}

TEST(ForwarderTls, SessionsCarryTheSameBytesAsPlainTcp) {
    if (!kr::test::TlsPeer::available()) GTEST_SKIP() << "no TLS peer in this build";
    const kr::test::TestPki pki;
    const std::vector<Bytes> queued = {message_of(39, 1), message_of(5000, 3), message_of(96, 5)};
    Bytes expected = kHello;
    for (const Bytes& m : queued) expected = concat({expected, record(m)});
    // The address in the certificate record by record; a configured name with
    // batches; mutual TLS, the peer requiring a certificate its CA signed.
    using Case = std::tuple<std::uint32_t, std::string, bool>;
    for (const auto& [batch, name, client] :
         std::vector<Case>{{0, "", false}, {65536, "collector.test", false}, {65536, "", true}}) {
        SCOPED_TRACE(batch);
        LoopbackListener collector;
        kr::test::TlsPeer peer(pki.pem("server"), pki.key("server"), client ? pki.pem("ca") : "", collector.port());
        const auto tls = tls_settings(pki, name, client);
        Forwarder f({target("127.0.0.1", peer.port())}, 20, batch);
        f.processor.tls = &tls;
        for (const Bytes& m : queued) f.push(m);
        start(f.processor);
        ASSERT_TRUE(collector.accept(5000));
        EXPECT_EQ(expected, collector.read(expected.size(), 5000));
        // A stop ends the session in order (close_notify): the relay closes.
        stop(f.processor);
        EXPECT_TRUE(collector.peer_closed(2000));
    }
}

TEST(ForwarderTls, FailedHandshakesFailOverToTheNextTarget) {
    if (!kr::test::TlsPeer::available()) GTEST_SKIP() << "no TLS peer in this build";
    LogCapture log;
    const kr::test::TestPki pki;
    LoopbackListener collector, silent;  // silent: takes the connection, never answers
    kr::test::TlsPeer untrusted(pki.pem("stranger"), pki.key("stranger"));
    kr::test::TlsPeer wrong_name(pki.pem("named"), pki.key("named"));
    kr::test::TlsPeer wants_client(pki.pem("server"), pki.key("server"), pki.pem("ca"));
    kr::test::TlsPeer good(pki.pem("server"), pki.key("server"), "", collector.port());
    const auto tls = tls_settings(pki);
    Forwarder f({target("127.0.0.1", silent.port()), target("127.0.0.1", untrusted.port()),
                 target("127.0.0.1", wrong_name.port()), target("127.0.0.1", wants_client.port()),
                 target("127.0.0.1", good.port())},
                kPauseStepMs);
    f.processor.tls = &tls;
    const auto t0 = Clock::now();
    start(f.processor);
    ASSERT_TRUE(collector.accept(5000)) << log.raw();
    // The stalled handshake takes the 1-second time-out; refusals take no wait.
    EXPECT_GE(ms_since(t0), 900);
    EXPECT_LT(ms_since(t0), 3000);
    EXPECT_EQ(kHello, collector.read(kHello.size(), 5000));
    std::vector<std::string> expected = {"Connecting with TLS: CA " + tls.ca +
                                         ", name target address, client certificate none"};
    const std::string refused = "collector certificate not accepted: ";
    for (const auto& [port, why] : std::vector<std::pair<std::uint16_t, std::string>>{
             {silent.port(), "select() timed out"},
             {untrusted.port(), refused + "unable to get local issuer certificate"},
             {wrong_name.port(), refused + "IP address mismatch"},
             {wants_client.port(), "error:0A00045C:SSL routines::tlsv13 alert certificate required"}}) {
        expected.push_back("Connecting to " + endpoint(port));
        expected.push_back("ERROR - Connect to " + endpoint(port) + " failed: TLS handshake failed: " + why);
    }
    expected.push_back("Connecting to " + endpoint(good.port()));
    expected.push_back("Connected to " + endpoint(good.port()));
    EXPECT_EQ(expected, log_lines(log));
    EXPECT_EQ((std::vector<std::uint64_t>{0, 0, 1, 0, 1, 1, 1, 1, 0}), f.tally());
}

}  // namespace
}  // namespace kr::forward
