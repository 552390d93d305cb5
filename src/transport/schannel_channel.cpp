#include "transport/schannel_channel.h"

#include <algorithm>
#include <cstring>

#include "error/error.h"

namespace kr::transport {
using kr::sensor::SensorError;

namespace {

[[noreturn]] void throw_status(const std::string& call, SECURITY_STATUS status) {
    kr::error::throw_failure<SensorError>(call, kr::error::windows_error_code(static_cast<std::uint32_t>(status)));
}

[[noreturn]] void throw_text(const std::string& text) { throw SensorError(text.c_str()); }

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

bool parse_thumbprint(const std::string& text, unsigned char out[20]) {
    std::size_t digits = 0;
    for (char c : text) {
        if (c == ' ' || c == ':') continue;
        const int d = hex_digit(c);
        if (d < 0 || digits == 40) return false;
        out[digits / 2] = static_cast<unsigned char>(digits % 2 == 0 ? d << 4 : out[digits / 2] | d);
        ++digits;
    }
    return digits == 40;
}

SchannelChannel::SchannelChannel(const SspiApi& api, const kr::config::TlsSettings& settings, const std::string& ip,
                                 TlsTransport& transport)
    : api_(api), ca_(settings.ca), target_(settings.name.empty() ? ip : settings.name), transport_(transport) {
    if (!settings.thumbprint.empty()) {
        unsigned char hash[20];
        if (!parse_thumbprint(settings.thumbprint, hash))
            throw_text("tls-cert-thumbprint " + settings.thumbprint + ": not 40 hex digits");
        std::string error;
        certificate_ = api_.find_client_certificate(hash, &error);
        if (certificate_ == nullptr) throw_text("tls-cert-thumbprint " + settings.thumbprint + ": " + error);
    }
    SCHANNEL_CRED data{};
    data.dwVersion = sspi::kSchannelCredVersion;
    data.cCreds = certificate_ != nullptr ? 1 : 0;
    data.paCred = certificate_ != nullptr ? &certificate_ : nullptr;
    data.grbitEnabledProtocols = sspi::kTls12Client;
    // The agent checks the collector's certificate itself (check_server), and
    // offers no certificate but the configured one.
    data.dwFlags = sspi::kCredFlags;
    const SECURITY_STATUS status = api_.acquire_credentials_handle(sspi::kCredentialOutbound, &data, &credentials_);
    if (status != sspi::kOk) {
        if (certificate_ != nullptr) api_.free_certificate(certificate_);
        throw_status("AcquireCredentialsHandle()", status);
    }
    have_credentials_ = true;
}

SchannelChannel::~SchannelChannel() {
    if (have_context_) api_.delete_security_context(&context_);
    if (have_credentials_) api_.free_credentials_handle(&credentials_);
    if (certificate_ != nullptr) api_.free_certificate(certificate_);
}

void SchannelChannel::send_token(SecBuffer& token) {
    if (token.pvBuffer == nullptr) return;
    const auto* data = static_cast<const std::uint8_t*>(token.pvBuffer);
    const std::vector<std::uint8_t> copy(data, data + token.cbBuffer);
    api_.free_context_buffer(token.pvBuffer);
    token.pvBuffer = nullptr;
    if (!copy.empty()) transport_.send_raw(copy.data(), copy.size());
}

SECURITY_STATUS SchannelChannel::step(bool first) {
    SecBuffer in[2] = {{static_cast<ULONG>(incoming_.size()), sspi::kBufferToken, incoming_.data()},
                       {0, sspi::kBufferEmpty, nullptr}};
    SecBufferDesc in_desc{sspi::kBufferVersion, 2, in};
    SecBuffer out{0, sspi::kBufferToken, nullptr};
    SecBufferDesc out_desc{sspi::kBufferVersion, 1, &out};
    ULONG attributes = 0;
    const SECURITY_STATUS status = api_.initialize_security_context(
        &credentials_, first ? nullptr : &context_, target_.c_str(), sspi::kRequestFlags,
        sspi::kNativeDataRepresentation, first ? nullptr : &in_desc, first ? &context_ : nullptr, &out_desc,
        &attributes);
    if (first && status >= 0) have_context_ = true;
    // Sent on failures too: with extended errors the token is the alert
    // that tells the collector why.
    send_token(out);
    if (status == sspi::kIncompleteMessage || status == sspi::kIncompleteCredentials || status < 0) return status;
    // What the step did not read belongs to the next one.
    if (!first && in[1].BufferType == sspi::kBufferExtra && in[1].cbBuffer <= incoming_.size()) {
        incoming_.erase(incoming_.begin(), incoming_.end() - in[1].cbBuffer);
    } else {
        incoming_.clear();
    }
    return status;
}

void SchannelChannel::handshake() {
    SECURITY_STATUS status = step(true);
    bool read = true;
    while (status == sspi::kContinueNeeded || status == sspi::kIncompleteMessage ||
           status == sspi::kIncompleteCredentials) {
        if (read) {
            std::uint8_t buffer[16 * 1024];
            try {
                const std::size_t n = transport_.receive_raw(buffer, sizeof buffer);
                incoming_.insert(incoming_.end(), buffer, buffer + n);
            } catch (const SensorError& e) {
                throw_text(std::string("TLS handshake failed: ") + e.what());
            }
        }
        status = step(false);
        // Asked for a certificate the agent has not: go on without one, over
        // the same input. Data left over is read before anything new.
        read = status == sspi::kIncompleteMessage || (status == sspi::kContinueNeeded && incoming_.empty());
    }
    if (status != sspi::kOk) throw_status("TLS handshake failed: InitializeSecurityContext()", status);
    status = api_.query_context_attributes(&context_, sspi::kAttributeStreamSizes, &sizes_);
    if (status != sspi::kOk) throw_status("QueryContextAttributes(STREAM_SIZES)", status);
    if (sizes_.cbMaximumMessage == 0) throw_text("QueryContextAttributes(STREAM_SIZES) failed: no message size");
    check_server();
    established_ = true;
}

void SchannelChannel::check_server() {
    const std::string failure = api_.verify_server(&context_, ca_, target_);
    if (!failure.empty()) throw_text("TLS handshake failed: collector certificate not accepted: " + failure);
}

void SchannelChannel::send(const std::uint8_t* data, std::size_t length) {
    // Every record of the call in one buffer, handed to the socket at once.
    outgoing_.clear();
    while (length > 0) {
        const std::size_t n = std::min<std::size_t>(length, sizes_.cbMaximumMessage);
        const std::size_t at = outgoing_.size();
        outgoing_.resize(at + sizes_.cbHeader + n + sizes_.cbTrailer);
        std::uint8_t* record = outgoing_.data() + at;
        std::memcpy(record + sizes_.cbHeader, data, n);
        SecBuffer buffers[4] = {{sizes_.cbHeader, sspi::kBufferStreamHeader, record},
                                {static_cast<ULONG>(n), sspi::kBufferData, record + sizes_.cbHeader},
                                {sizes_.cbTrailer, sspi::kBufferStreamTrailer, record + sizes_.cbHeader + n},
                                {0, sspi::kBufferEmpty, nullptr}};
        SecBufferDesc desc{sspi::kBufferVersion, 4, buffers};
        const SECURITY_STATUS status = api_.encrypt_message(&context_, 0, &desc, 0);
        if (status != sspi::kOk) throw_status("EncryptMessage()", status);
        // A trailer may come out shorter than its most.
        outgoing_.resize(at + buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer);
        data += n;
        length -= n;
    }
    transport_.send_raw(outgoing_.data(), outgoing_.size());
}

void SchannelChannel::close_notify() {
    if (!established_) return;
    DWORD type = sspi::kShutdown;
    SecBuffer control{sizeof type, sspi::kBufferToken, &type};
    SecBufferDesc control_desc{sspi::kBufferVersion, 1, &control};
    if (api_.apply_control_token(&context_, &control_desc) != sspi::kOk) return;
    SecBuffer out{0, sspi::kBufferToken, nullptr};
    SecBufferDesc out_desc{sspi::kBufferVersion, 1, &out};
    ULONG attributes = 0;
    api_.initialize_security_context(&credentials_, &context_, target_.c_str(), sspi::kRequestFlags,
                                     sspi::kNativeDataRepresentation, nullptr, nullptr, &out_desc, &attributes);
    try {
        send_token(out);
    } catch (const SensorError&) {
        // The connection ends either way.
    }
}

}  // namespace kr::transport
