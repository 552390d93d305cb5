#include <cstdio>
#include <filesystem>

#include "forwarder_helpers.h"

namespace kr::forward {
namespace {

// ---- TLS to a real OpenSSL peer (Linux) ----

kr::config::TlsSettings tls_settings(const kr::test::TestPki& pki, const std::string& name = "", bool client = false) {
    return {true, pki.pem("ca"), name, client ? pki.pem("client") : "", client ? pki.key("client") : "", ""};
}

std::unique_ptr<kr::transport::TlsContext> context_of(const kr::config::TlsSettings& settings) {
    std::string warning;
    return kr::transport::make_tls_context(settings, warning);
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
        const auto tls = context_of(tls_settings(pki, name, client));
        Forwarder f({target("127.0.0.1", peer.port())}, 20, batch);
        f.processor.tls = tls.get();
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
    const kr::test::TestPki pki;
    LoopbackListener collector, silent;  // silent: takes the connection, never answers
    kr::test::TlsPeer untrusted(pki.pem("stranger"), pki.key("stranger"));
    kr::test::TlsPeer wrong_name(pki.pem("named"), pki.key("named"));
    kr::test::TlsPeer wants_client(pki.pem("server"), pki.key("server"), pki.pem("ca"));
    const int tls11 = 0x0302, tls12 = 0x0303;  // protocol versions as on the wire
    kr::test::TlsPeer old(pki.pem("server"), pki.key("server"), "", 0, tls11);
    kr::test::TlsPeer cbc(pki.pem("server"), pki.key("server"), "", 0, tls12, "ECDHE-ECDSA-AES128-SHA");
    kr::test::TlsPeer legacy(pki.pem("legacy"), pki.key("legacy"));
    kr::test::TlsPeer good(pki.pem("server"), pki.key("server"), "", collector.port());
    kr::test::TlsPeer good_name(pki.pem("named"), pki.key("named"), "", collector.port());
    const std::string refused = "collector certificate not accepted: ";
    using Failure = std::pair<std::uint16_t, std::string>;
    const struct {
        std::string name;  // tls-name
        std::vector<Failure> failures;
        const char* good_ip;  // the target that connects, as written
        std::uint16_t good_port;
    } rounds[] = {
        {"",
         {{silent.port(), "select() timed out"},
          {untrusted.port(), refused + "unable to get local issuer certificate"},
          {wrong_name.port(), refused + "IP address mismatch"},
          {wants_client.port(), "error:0A00045C:SSL routines::tlsv13 alert certificate required"},
          {old.port(), "error:0A00042E:SSL routines::tlsv1 alert protocol version"},
          {cbc.port(), "error:0A000410:SSL routines::sslv3 alert handshake failure"}},
         // Dialled as 127.0.0.1 (a leading 0 is octal): that address is the one checked.
         "0177.0.0.1",
         good.port()},
        // A name only in the subject's CN is no name: there is no CN fallback.
        {"collector.test", {{legacy.port(), refused + "hostname mismatch"}}, "127.0.0.1", good_name.port()},
    };
    for (const auto& round : rounds) {
        LogCapture log;
        std::vector<Target> targets;
        for (const Failure& failure : round.failures) targets.push_back(target("127.0.0.1", failure.first));
        targets.push_back(target(round.good_ip, round.good_port));
        const auto tls = context_of(tls_settings(pki, round.name));
        Forwarder f(targets, kPauseStepMs);
        f.processor.tls = tls.get();
        const auto t0 = Clock::now();
        start(f.processor);
        ASSERT_TRUE(collector.accept(5000)) << log.raw();
        // The stalled handshake takes the 1-second time-out; refusals take no wait.
        EXPECT_LT(ms_since(t0), 3000);
        EXPECT_EQ(kHello, collector.read(kHello.size(), 5000));
        std::vector<std::string> expected = {"Connecting with TLS: CA " + pki.pem("ca") + ", name " +
                                             (round.name.empty() ? "target address" : round.name) +
                                             ", client certificate none"};
        for (const auto& [port, why] : round.failures) {
            expected.push_back("Connecting to " + endpoint(port));
            expected.push_back("ERROR - Connect to " + endpoint(port) + " failed: TLS handshake failed: " + why);
        }
        const std::string good = std::string(round.good_ip) + ":" + std::to_string(round.good_port);
        expected.push_back("Connecting to " + good);
        expected.push_back("Connected to " + good);
        EXPECT_EQ(expected, log_lines(log));
        std::vector<std::uint64_t> tally = {0, 0, 1, 0};
        tally.resize(4 + round.failures.size(), 1);
        tally.push_back(0);
        EXPECT_EQ(tally, f.tally());
    }
}

TEST(ForwarderTls, TheContextIsMadeOnceAtStartFromFilesItCanUse) {
    if (!kr::test::TlsPeer::available()) GTEST_SKIP() << "no TLS peer in this build";
    const kr::test::TestPki pki;
    // A key with a passphrase is refused, never asked for; a key every user
    // can read is used, and said to be.
    auto locked = tls_settings(pki, "", true);
    locked.key = pki.dir.file("locked.key");
    std::string warning, refusal;
    try {
        kr::transport::make_tls_context(locked, warning);
    } catch (const SensorError& e) {
        refusal = e.what();
    }
    EXPECT_EQ(refusal, "tls-key " + locked.key +
                           ": the key has a passphrase, and the agent never asks for one: write it without "
                           "(openssl pkey -in KEY -out NEW_KEY)");
    using std::filesystem::perms;
    std::filesystem::permissions(pki.key("client"), perms::owner_read | perms::owner_write | perms::group_read |
                                                        perms::others_read);
    const auto tls = kr::transport::make_tls_context(tls_settings(pki, "", true), warning);
    EXPECT_EQ(warning, "tls-key " + pki.key("client") + " can be read by every user (mode 0644): chmod 600 it");
    // Files that go after the start are not missed: connections use what was read then.
    LoopbackListener collector;
    kr::test::TlsPeer peer(pki.pem("server"), pki.key("server"), pki.pem("ca"), collector.port());
    for (const std::string& file : {pki.pem("ca"), pki.pem("client"), pki.key("client")})
        ASSERT_EQ(0, std::remove(file.c_str()));
    Forwarder f({target("127.0.0.1", peer.port())});
    f.processor.tls = tls.get();
    start(f.processor);
    ASSERT_TRUE(collector.accept(5000));
    EXPECT_EQ(kHello, collector.read(kHello.size(), 5000));
}

}  // namespace
}  // namespace kr::forward
