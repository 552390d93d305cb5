#include "forward/schannel_channel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <string>
#include <vector>

#include "error/error.h"

namespace kr::sensor {
namespace {

// A socket that records what is sent and hands out scripted pieces.
struct ScriptedTransport : TlsTransport {
    std::vector<std::string> sent;
    std::deque<std::string> incoming;
    void send_raw(const std::uint8_t* data, std::size_t length) override {
        sent.emplace_back(reinterpret_cast<const char*>(data), length);
    }
    std::size_t receive_raw(std::uint8_t* out, std::size_t size) override {
        if (incoming.empty()) throw SensorError("select() timed out");
        const std::string piece = incoming.front();
        incoming.pop_front();
        EXPECT_LE(piece.size(), size);
        std::copy(piece.begin(), piece.end(), out);
        return piece.size();
    }
};

// One InitializeSecurityContext answer: the input it expects, its status,
// its token and how many input bytes it leaves unread.
struct Step {
    std::string input;
    SECURITY_STATUS status;
    std::string token;
    ULONG extra = 0;
};

// The SSPI table answering from a script and logging every call.
struct ScriptedSspi {
    static inline ScriptedSspi* current = nullptr;
    std::deque<Step> steps;
    std::vector<std::string> calls;
    std::string verdict;                        // verify_server's answer
    SECURITY_STATUS acquire_status = sspi::kOk;
    SecPkgContext_StreamSizes sizes{5, 4, 4, 4, 16};
    SCHANNEL_CRED cred{};
    std::vector<char*> tokens;  // handed out, to be freed
    SspiApi api{};

    ScriptedSspi() {
        current = this;
        api.acquire_credentials_handle = [](ULONG use, SCHANNEL_CRED* data, CredHandle*) {
            current->cred = *data;
            current->calls.push_back("acquire " + std::to_string(use));
            return current->acquire_status;
        };
        api.initialize_security_context = [](CredHandle*, CtxtHandle* context, const char* target, ULONG request,
                                             ULONG, SecBufferDesc* input, CtxtHandle* new_context,
                                             SecBufferDesc* output, ULONG*) {
            auto& s = *current;
            EXPECT_EQ(sspi::kRequestFlags, request);
            EXPECT_TRUE((context == nullptr) != (new_context == nullptr) || input == nullptr);
            std::string in = input ? std::string(static_cast<char*>(input->pBuffers[0].pvBuffer),
                                                 input->pBuffers[0].cbBuffer)
                                   : "-";
            s.calls.push_back(std::string("isc ") + target + " " + in);
            if (s.steps.empty()) return static_cast<SECURITY_STATUS>(0x80090301u);
            const Step step = s.steps.front();
            s.steps.pop_front();
            EXPECT_EQ(step.input, in);
            if (!step.token.empty()) {
                s.tokens.push_back(new char[step.token.size()]);
                std::copy(step.token.begin(), step.token.end(), s.tokens.back());
                output->pBuffers[0] = {static_cast<ULONG>(step.token.size()), sspi::kBufferToken, s.tokens.back()};
            }
            if (step.extra != 0) input->pBuffers[1] = {step.extra, sspi::kBufferExtra, nullptr};
            return step.status;
        };
        api.query_context_attributes = [](CtxtHandle*, ULONG attribute, void* buffer) {
            EXPECT_EQ(sspi::kAttributeStreamSizes, attribute);
            *static_cast<SecPkgContext_StreamSizes*>(buffer) = current->sizes;
            return sspi::kOk;
        };
        // "Encrypts" as [HHHHH][data upper-cased][T T T]: a trailer one byte short.
        api.encrypt_message = [](CtxtHandle*, ULONG, SecBufferDesc* message, ULONG) {
            SecBuffer* b = message->pBuffers;
            EXPECT_EQ(4u, message->cBuffers);
            std::fill_n(static_cast<char*>(b[0].pvBuffer), b[0].cbBuffer, 'H');
            for (ULONG i = 0; i < b[1].cbBuffer; ++i) static_cast<char*>(b[1].pvBuffer)[i] ^= 0x20;
            b[2].cbBuffer -= 1;
            std::fill_n(static_cast<char*>(b[2].pvBuffer), b[2].cbBuffer, 'T');
            return sspi::kOk;
        };
        api.apply_control_token = [](CtxtHandle*, SecBufferDesc* input) {
            current->calls.push_back("control " + std::to_string(*static_cast<DWORD*>(input->pBuffers[0].pvBuffer)));
            return sspi::kOk;
        };
        api.free_context_buffer = [](void* buffer) {
            auto& t = current->tokens;
            const auto it = std::find(t.begin(), t.end(), buffer);
            EXPECT_NE(t.end(), it) << "freed a buffer it did not hand out";
            if (it != t.end()) delete[] *it, t.erase(it);
            return sspi::kOk;
        };
        api.delete_security_context = [](CtxtHandle*) { return current->calls.push_back("delete context"), sspi::kOk; };
        api.free_credentials_handle = [](CredHandle*) { return current->calls.push_back("free credentials"), sspi::kOk; };
        api.find_client_certificate = [](const unsigned char* hash, std::string* error) -> PCCERT_CONTEXT {
            current->calls.push_back("find " + std::to_string(hash[0]) + "." + std::to_string(hash[19]));
            *error = "not found";
            return hash[0] == 0xAB ? reinterpret_cast<PCCERT_CONTEXT>(&current->sizes) : nullptr;
        };
        api.free_certificate = [](PCCERT_CONTEXT) { current->calls.push_back("free certificate"); };
        api.verify_server = [](CtxtHandle*, const std::string& ca, const std::string& name) {
            current->calls.push_back("verify " + ca + " " + name);
            return current->verdict;
        };
    }
    ~ScriptedSspi() {
        EXPECT_TRUE(tokens.empty()) << "a token was not freed";
        current = nullptr;
    }
};

kr::config::TlsSettings settings(const std::string& name = "", const std::string& thumbprint = "") {
    kr::config::TlsSettings tls;
    tls.on = true;
    tls.ca = "ca.pem";
    tls.name = name;
    tls.thumbprint = thumbprint;
    return tls;
}

TEST(SchannelScript, HandshakeFeedsTokensKeepsExtraDataAndFramesRecords) {
    ScriptedSspi sspi;
    ScriptedTransport net;
    net.incoming = {"AB", "CDEF", "GH"};
    const auto kContinue = sspi::kContinueNeeded;
    sspi.steps = {{"-", kContinue, "hello"},          {"AB", sspi::kIncompleteMessage, ""},
                  {"ABCDEF", kContinue, "kx", 2},      {"EF", sspi::kIncompleteCredentials, ""},
                  {"EF", kContinue, ""},               {"GH", sspi::kOk, "fin"}};
    {
        SchannelChannel channel(sspi.api, settings(), "10.0.0.1", net);
        channel.handshake();
        channel.send(reinterpret_cast<const std::uint8_t*>("abcdefghij"), 10);
        sspi.steps = {{"-", sspi::kOk, "bye"}};
        channel.close_notify();
    }
    EXPECT_EQ((std::vector<std::string>{"hello", "kx", "fin", "HHHHHABCDTTTHHHHHEFGHTTTHHHHHIJTTT", "bye"}), net.sent);
    EXPECT_EQ(sspi::kSchannelCredVersion, sspi.cred.dwVersion);
    EXPECT_EQ(0u, sspi.cred.cCreds);
    EXPECT_EQ(sspi::kTls12Client, sspi.cred.grbitEnabledProtocols);
    EXPECT_EQ(sspi::kCredFlags, sspi.cred.dwFlags);
    EXPECT_EQ((std::vector<std::string>{"acquire 2", "isc 10.0.0.1 -", "isc 10.0.0.1 AB", "isc 10.0.0.1 ABCDEF",
                                        "isc 10.0.0.1 EF", "isc 10.0.0.1 EF", "isc 10.0.0.1 GH",
                                        "verify ca.pem 10.0.0.1", "control 1", "isc 10.0.0.1 -", "delete context", "free credentials"}),
              sspi.calls);
}

TEST(SchannelScript, FailuresAreFailedConnectsWithTheirTexts) {
    const SECURITY_STATUS untrusted = static_cast<SECURITY_STATUS>(0x80090325u);
    const std::string untrusted_text =
        kr::error::failure_text("InitializeSecurityContext()", kr::error::windows_error_code(0x80090325u));
    const std::string thumb = "ab 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 0f";
    const struct {
        const char* name;
        kr::config::TlsSettings tls;
        std::vector<Step> steps;
        std::string verdict;
        std::string failure;
        std::string last_sent;
    } cases[] = {
        {"alert", settings(), {{"-", sspi::kContinueNeeded, "hi"}, {"S1", untrusted, "alert"}}, "",
         "TLS handshake failed: " + untrusted_text, "alert"},
        {"name", settings("collector.test", thumb), {{"-", sspi::kContinueNeeded, "hi"}, {"S1", sspi::kOk, ""}},
         "name mismatch", "TLS handshake failed: collector certificate not accepted: name mismatch", "hi"},
        {"stall", settings(), {{"-", sspi::kContinueNeeded, "hi"}, {"S1", sspi::kContinueNeeded, "more"}}, "",
         "TLS handshake failed: select() timed out", "more"},
        {"bad thumbprint", settings("", "abc"), {}, "", "tls-cert-thumbprint abc: not 40 hex digits", ""},
        {"no certificate", settings("", "00" + thumb.substr(2)), {}, "",
         "tls-cert-thumbprint 00" + thumb.substr(2) + ": not found", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedSspi sspi;
        ScriptedTransport net;
        net.incoming = {"S1"};
        sspi.steps.assign(c.steps.begin(), c.steps.end());
        sspi.verdict = c.verdict;
        std::string failure;
        try {
            SchannelChannel channel(sspi.api, c.tls, "10.0.0.1", net);
            channel.handshake();
        } catch (const SensorError& e) {
            failure = e.what();
        }
        EXPECT_EQ(c.failure, failure);
        EXPECT_EQ(c.last_sent, net.sent.empty() ? "" : net.sent.back());
        // Whatever was taken is given back: the certificate once, the rest at the end.
        if (!c.tls.thumbprint.empty() && c.steps.size() > 0) {
            EXPECT_EQ(1u, sspi.cred.cCreds);
            EXPECT_EQ("find 171.15", sspi.calls[0]);
            EXPECT_EQ("free certificate", sspi.calls.back());
        }
    }
}

}  // namespace
}  // namespace kr::sensor
