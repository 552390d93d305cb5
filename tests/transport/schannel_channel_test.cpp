#include "transport/schannel_channel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <string>
#include <vector>

#include "error/error.h"

namespace kr::transport {
using kr::sensor::SensorError;

namespace {

// One InitializeSecurityContext answer: its status, its token and how many
// input bytes it leaves unread.
struct Step {
    SECURITY_STATUS status;
    std::string token;
    ULONG extra = 0;
};

// The SSPI table and the socket beneath, answering from a script and
// logging the calls and what is sent.
struct ScriptedSspi : TlsTransport {
    static inline ScriptedSspi* current = nullptr;
    std::deque<Step> steps;
    std::vector<std::string> calls, sent;
    std::deque<std::string> incoming{"S1"}, tokens;  // tokens: handed out
    std::size_t freed = 0;
    std::string verdict;  // verify_server's answer
    Step repeat{static_cast<SECURITY_STATUS>(0x80090301u), ""};  // the answer once the steps are used up
    DWORD suite = 0xC02F;                                          // the cipher suite negotiated
    mutable int time_left = 1000;                                  // expired() calls until the time limit
    SspiApi api{};

    void send_raw(const std::uint8_t* data, std::size_t length) override {
        sent.emplace_back(reinterpret_cast<const char*>(data), length);
    }
    bool expired() const override { return --time_left < 0; }
    std::size_t receive_raw(std::uint8_t* out, std::size_t) override {
        if (incoming.empty()) throw SensorError("select() timed out");
        const std::string piece = incoming.front();
        incoming.pop_front();
        return std::copy(piece.begin(), piece.end(), out) - out;
    }

    ScriptedSspi() {
        current = this;
        api.acquire_credentials_handle = [](ULONG use, SCHANNEL_CRED* d, CredHandle*) {
            for (ULONG n : {use, d->dwVersion, d->cCreds, d->grbitEnabledProtocols, d->dwFlags})
                current->calls.push_back("acquire " + std::to_string(n));
            return sspi::kOk;
        };
        api.initialize_security_context = [](CredHandle*, CtxtHandle*, const char* target, ULONG request, ULONG,
                                             SecBufferDesc* input, CtxtHandle*, SecBufferDesc* output, ULONG*) {
            auto& s = *current;
            EXPECT_EQ(sspi::kRequestFlags, request);  // the same on every step
            SecBuffer* in = input ? input->pBuffers : nullptr;
            const std::string data = in ? std::string(static_cast<char*>(in[0].pvBuffer), in[0].cbBuffer) : "-";
            s.calls.push_back(std::string("isc ") + target + " " + data);
            const Step step = s.steps.empty() ? s.repeat : s.steps.front();
            if (!s.steps.empty()) s.steps.pop_front();
            if (!step.token.empty()) {
                s.tokens.push_back(step.token);
                output->pBuffers[0] = {static_cast<ULONG>(step.token.size()), sspi::kBufferToken,
                                       s.tokens.back().data()};
            }
            if (step.extra != 0) in[1] = {step.extra, sspi::kBufferExtra, nullptr};
            return step.status;
        };
        api.query_context_attributes = [](CtxtHandle*, ULONG attribute, void* buffer) {
            if (attribute == sspi::kAttributeStreamSizes)
                return *static_cast<SecPkgContext_StreamSizes*>(buffer) = {5, 4, 4, 4, 16}, sspi::kOk;
            auto* info = static_cast<SecPkgContext_CipherInfo*>(buffer);
            info->dwCipherSuite = current->suite;
            // Wine names a suite without its number, and with part of the name unknown.
            const std::u16string name = current->suite != 0 ? u"TLS_ECDHE_RSA_WITH_AES_128_CBC_SHA256"
                                                             : u"TLS_ECDHE_RSA_WITH_AES_128_GCM_?";
            std::copy(name.begin(), name.end(), info->szCipherSuite);
            return attribute == sspi::kAttributeCipherInfo ? sspi::kOk : static_cast<SECURITY_STATUS>(0x80090302u);
        };
        // "Encrypts" as HHHHH, the data upper-cased, then a trailer one byte short: TTT.
        api.encrypt_message = [](CtxtHandle*, ULONG, SecBufferDesc* message, ULONG) {
            SecBuffer* b = message->pBuffers;
            std::fill_n(static_cast<char*>(b[0].pvBuffer), b[0].cbBuffer, 'H');
            for (ULONG i = 0; i < b[1].cbBuffer; ++i) static_cast<char*>(b[1].pvBuffer)[i] ^= 0x20;
            std::fill_n(static_cast<char*>(b[2].pvBuffer), --b[2].cbBuffer, 'T');
            return sspi::kOk;
        };
        api.apply_control_token = [](CtxtHandle*, SecBufferDesc* input) {
            current->calls.push_back("control " + std::to_string(*static_cast<DWORD*>(input->pBuffers[0].pvBuffer)));
            return sspi::kOk;
        };
        api.free_context_buffer = [](void*) { return ++current->freed, sspi::kOk; };
        api.delete_security_context = [](CtxtHandle*) { return current->calls.push_back("delete context"), sspi::kOk; };
        api.free_credentials_handle = [](CredHandle*) {
            return current->calls.push_back("free credentials"), sspi::kOk;
        };
        api.find_client_certificate = [](const unsigned char* hash, std::string* error) -> PCCERT_CONTEXT {
            current->calls.push_back("find " + std::to_string(hash[0]) + "." + std::to_string(hash[19]));
            *error = "not found";
            return hash[0] == 0xAB ? reinterpret_cast<PCCERT_CONTEXT>(current) : nullptr;
        };
        api.free_certificate = [](PCCERT_CONTEXT) { current->calls.push_back("free certificate"); };
        api.load_roots = [](const std::string& ca, std::string*) -> HCERTSTORE {
            return current->calls.push_back("roots " + ca), current;
        };
        api.free_roots = [](HCERTSTORE) { current->calls.push_back("free roots"); };
        api.verify_server = [](CtxtHandle*, HCERTSTORE roots, const std::string& name) {
            return current->calls.push_back(std::string("verify ") + (roots == current ? "roots " : "? ") + name),
                   current->verdict;
        };
    }
    ~ScriptedSspi() override { EXPECT_EQ(tokens.size(), freed) << "every token is freed"; }
};

const std::string thumb = "ab 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 0f";

kr::config::TlsSettings settings(const std::string& name = "", const std::string& thumbprint = "") {
    return {true, "ca.pem", name, "", "", thumbprint};
}

TEST(SchannelScript, HandshakeFeedsTokensKeepsExtraDataAndFramesRecords) {
    ScriptedSspi sspi;
    sspi.incoming = {"AB", "CDEF", "GH"};
    sspi.steps = {{sspi::kContinueNeeded, "hello"}, {sspi::kIncompleteMessage, ""},
                  {sspi::kContinueNeeded, "kx", 2}, {sspi::kIncompleteCredentials, ""},
                  {sspi::kContinueNeeded, ""},      {sspi::kOk, "fin"}};
    {
        const SchannelContext context(sspi.api, settings("", thumb));
        SchannelChannel channel(context, "10.0.0.1", sspi);
        channel.handshake();
        channel.send(reinterpret_cast<const std::uint8_t*>("abcdefghij"), 10);
        sspi.steps = {{sspi::kOk, "bye"}};
        channel.close_notify();
    }
    // Records of at most 4 bytes, all handed to the socket at once.
    EXPECT_EQ((std::vector<std::string>{"hello", "kx", "fin", "HHHHHABCDTTTHHHHHEFGHTTTHHHHHIJTTT", "bye"}), sspi.sent);
    // Outbound, version 4, the certificate found by its thumbprint (given back at the end), TLS 1.2
    // client, manual validation + no default credentials + strong crypto: Windows' own numbers.
    EXPECT_EQ((std::vector<std::string>{"find 171.15", "roots ca.pem", "acquire 2", "acquire 4", "acquire 1",
                                        "acquire 2048", "acquire 4194328", "isc 10.0.0.1 -", "isc 10.0.0.1 AB",
                                        "isc 10.0.0.1 ABCDEF", "isc 10.0.0.1 EF", "isc 10.0.0.1 EF", "isc 10.0.0.1 GH",
                                        "verify roots 10.0.0.1", "control 1", "isc 10.0.0.1 -", "delete context",
                                        "free credentials", "free roots", "free certificate"}),
              sspi.calls);
}

TEST(SchannelScript, FailuresAreFailedConnectsWithTheirTexts) {
    const std::string untrusted =
        kr::error::failure_text("InitializeSecurityContext()", kr::error::windows_error_code(0x80090325u));
    const std::string other = "00" + thumb.substr(2);
    const Step hi{sspi::kContinueNeeded, "hi"};
    const Step credentials{sspi::kIncompleteCredentials, ""}, stuck{sspi::kContinueNeeded, "", 2};
    const struct {
        kr::config::TlsSettings tls;
        std::vector<Step> steps;
        std::string verdict, failure, last_sent;
        Step repeat = {static_cast<SECURITY_STATUS>(0x80090301u), ""};
        DWORD suite = 0xC02F;
    } cases[] = {
        // The alert the failed step makes still goes to the collector.
        {settings(), {hi, {static_cast<SECURITY_STATUS>(0x80090325u), "alert"}}, "",
         "TLS handshake failed: " + untrusted, "alert"},
        {settings("collector.test"), {hi, {sspi::kOk, ""}}, "name mismatch",
         "TLS handshake failed: collector certificate not accepted: name mismatch", "hi"},
        {settings(), {hi, {sspi::kContinueNeeded, "more"}}, "", "TLS handshake failed: select() timed out", "more"},
        {settings("", other), {}, "", "tls-cert-thumbprint " + other + ": not found", ""},
        // Steps that read nothing, answered the same for ever, end at the time limit.
        {settings(), {hi}, "", "TLS handshake failed: select() timed out", "hi", credentials},
        {settings(), {hi}, "", "TLS handshake failed: select() timed out", "hi", stuck},
        // A CBC suite, once negotiated, is refused.
        {settings(), {hi, {sspi::kOk, ""}}, "",
         "TLS handshake failed: cipher suite 0xC027 TLS_ECDHE_RSA_WITH_AES_128_CBC_SHA256 refused: ECDHE with "
         "AES-GCM or ChaCha20-Poly1305 only",
         "hi", {}, 0xC027},
        {settings(), {hi, {sspi::kOk, ""}}, "", "", "hi", {}, 0},
    };
    for (const auto& c : cases) {
        ScriptedSspi sspi;
        sspi.steps.assign(c.steps.begin(), c.steps.end());
        sspi.verdict = c.verdict;
        sspi.repeat = c.repeat;
        sspi.suite = c.suite;
        std::string failure;
        try {
            const SchannelContext context(sspi.api, c.tls);
            SchannelChannel channel(context, "10.0.0.1", sspi);
            channel.handshake();
        } catch (const SensorError& e) {
            failure = e.what();
        }
        EXPECT_EQ(c.failure, failure);
        EXPECT_EQ(c.last_sent, sspi.sent.empty() ? "" : sspi.sent.back());
    }
}

TEST(SchannelScript, DnsNamesMatchTheirEntryButForCaseOrOneWildcardLabel) {
    EXPECT_TRUE(dns_name_matches("Collector.Example.NET", "collector.example.net"));
    EXPECT_TRUE(dns_name_matches("*.example.net", "collector.example.net"));
    EXPECT_FALSE(dns_name_matches("*.example.net", "a.collector.example.net"));
    EXPECT_FALSE(dns_name_matches("*.example.net", "example.net"));
    EXPECT_FALSE(dns_name_matches("collector.example.net", "collector.example.net.evil"));
}

}  // namespace
}  // namespace kr::transport
