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

class SchannelChannel : public TlsChannel {
public:
    // Takes the client certificate (tls-cert-thumbprint) and the credentials.
    SchannelChannel(const SspiApi& api, const kr::config::TlsSettings& settings, const std::string& ip,
                    TlsTransport& transport);
    ~SchannelChannel() override;
    SchannelChannel(const SchannelChannel&) = delete;
    SchannelChannel& operator=(const SchannelChannel&) = delete;

    void handshake() override;
    void send(const std::uint8_t* data, std::size_t length) override;
    void close_notify() override;

private:
    // One InitializeSecurityContext step over what has come in; sends the
    // token it makes. The status.
    SECURITY_STATUS step(bool first);
    void send_token(SecBuffer& token);
    void check_server();

    const SspiApi& api_;
    std::string ca_;
    std::string target_;  // tls-name, else the address
    TlsTransport& transport_;
    PCCERT_CONTEXT certificate_ = nullptr;
    CredHandle credentials_{};
    bool have_credentials_ = false;
    CtxtHandle context_{};
    bool have_context_ = false;
    bool established_ = false;
    SecPkgContext_StreamSizes sizes_{};
    std::vector<std::uint8_t> incoming_;
    std::vector<std::uint8_t> outgoing_;
};

// 40 hex digits (blanks and colons between them allowed, as certificate
// viewers show them) into 20 bytes; false for anything else.
bool parse_thumbprint(const std::string& text, unsigned char out[20]);

}  // namespace kr::transport
