#pragma once
// The TLS session of the Windows build: the Schannel handshake loop and
// record framing over the SSPI table, portable so that it runs on Linux too
// against scripted answers. TLS 1.2; the collector's certificate is checked
// by the agent itself (manual validation) against tls-ca or the system's
// store, and tls-name or the target's address.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "config/config.h"
#include "transport/sspi_api.h"
#include "transport/tls_channel.h"

namespace kr::transport {

// What every session of a run shares: the client certificate, the
// credentials made with it and the tls-ca roots, made once.
class SchannelContext : public TlsContext {
public:
    // Finds the client certificate (tls-cert-thumbprint), loads the tls-ca
    // file and acquires the credentials; throws SensorError when one fails.
    SchannelContext(const SspiApi& api, const kr::config::TlsSettings& settings);
    ~SchannelContext() override;

    const SspiApi& api() const { return api_; }
    CredHandle* credentials() const { return &credentials_; }
    HCERTSTORE roots() const { return roots_; }

private:
    void release();

    const SspiApi& api_;
    PCCERT_CONTEXT certificate_ = nullptr;
    HCERTSTORE roots_ = nullptr;  // null: the system's store
    mutable CredHandle credentials_{};  // SSPI takes it by pointer, and never changes it
    bool have_credentials_ = false;
};

class SchannelChannel : public TlsChannel {
public:
    SchannelChannel(const SchannelContext& context, const std::string& address, TlsTransport& transport);
    ~SchannelChannel() override;
    SchannelChannel(const SchannelChannel&) = delete;
    SchannelChannel& operator=(const SchannelChannel&) = delete;

    // Ends at the connection's time limit on every path, also when steps
    // read nothing; TLS 1.2 suites other than ECDHE with AES-GCM or
    // ChaCha20-Poly1305 are refused once negotiated.
    void handshake() override;
    void send(const std::uint8_t* data, std::size_t length) override;
    void close_notify() override;

private:
    // One InitializeSecurityContext step over what has come in; sends the
    // token it makes. The status.
    SECURITY_STATUS step(bool first);
    void send_token(SecBuffer& token);
    void check_suite();
    void check_server();

    const SchannelContext& shared_;
    const SspiApi& api_;
    std::string target_;  // tls-name, else the address
    TlsTransport& transport_;
    CtxtHandle context_{};
    bool have_context_ = false;
    bool established_ = false;
    SecPkgContext_StreamSizes sizes_{};
    std::vector<std::uint8_t> incoming_;
    std::vector<std::uint8_t> outgoing_;
};

// A DNS name as a certificate's DNS entry `pattern` covers it: equal but for
// case, or a leading "*." standing for exactly one label.
bool dns_name_matches(const std::string& pattern, const std::string& name);

// 40 hex digits (blanks and colons between them allowed, as certificate
// viewers show them) into 20 bytes; false for anything else.
bool parse_thumbprint(const std::string& text, unsigned char out[20]);

}  // namespace kr::transport
