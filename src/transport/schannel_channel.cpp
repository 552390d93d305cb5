#include "transport/schannel_channel.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <iterator>

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

SchannelContext::SchannelContext(const SspiApi& api, const kr::config::TlsSettings& settings)
    : TlsContext(settings), api_(api) {
    try {
        if (!settings.thumbprint.empty()) {
            unsigned char hash[20];
            if (!parse_thumbprint(settings.thumbprint, hash))
                throw_text("tls-cert-thumbprint " + settings.thumbprint + ": not 40 hex digits");
            std::string error;
            certificate_ = api_.find_client_certificate(hash, &error);
            if (certificate_ == nullptr) throw_text("tls-cert-thumbprint " + settings.thumbprint + ": " + error);
        }
        if (!settings.ca.empty()) {
            std::string error;
            roots_ = api_.load_roots(settings.ca, &error);
            if (roots_ == nullptr) throw_text(error);
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
        if (status != sspi::kOk) throw_status("AcquireCredentialsHandle()", status);
        have_credentials_ = true;
    } catch (...) {
        release();  // what was made so far: no destructor runs for a constructor that throws
        throw;
    }
}

SchannelContext::~SchannelContext() { release(); }

void SchannelContext::release() {
    if (have_credentials_) api_.free_credentials_handle(&credentials_);
    if (roots_ != nullptr) api_.free_roots(roots_);
    if (certificate_ != nullptr) api_.free_certificate(certificate_);
    have_credentials_ = false;
    roots_ = nullptr;
    certificate_ = nullptr;
}

SchannelChannel::SchannelChannel(const SchannelContext& context, const std::string& address, TlsTransport& transport)
    : shared_(context),
      api_(context.api()),
      target_(context.settings().name.empty() ? address : context.settings().name),
      transport_(transport) {}

SchannelChannel::~SchannelChannel() {
    if (have_context_) api_.delete_security_context(&context_);
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
        shared_.credentials(), first ? nullptr : &context_, target_.c_str(), sspi::kRequestFlags,
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
        // Steps that read nothing (a certificate asked for again and again,
        // input that is never consumed) end at the time limit as reads do.
        if (transport_.expired()) throw_text("TLS handshake failed: select() timed out");
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
    check_suite();
    check_server();
    established_ = true;
}

void SchannelChannel::check_suite() {
    // Schannel's credentials cannot leave out TLS 1.2's CBC and static RSA
    // suites on every Windows version, so the one negotiated is checked.
    SecPkgContext_CipherInfo info{};
    const SECURITY_STATUS status = api_.query_context_attributes(&context_, sspi::kAttributeCipherInfo, &info);
    if (status != sspi::kOk) throw_status("TLS handshake failed: QueryContextAttributes(CIPHER_INFO)", status);
    // ECDHE with AES-GCM or ChaCha20-Poly1305 (TLS 1.2), and TLS 1.3's own.
    static const DWORD accepted[] = {0xC02B, 0xC02C, 0xC02F, 0xC030, 0xCCA8, 0xCCA9, 0x1301, 0x1302, 0x1303};
    if (std::find(std::begin(accepted), std::end(accepted), info.dwCipherSuite) != std::end(accepted)) return;
    std::string name;
    for (std::size_t i = 0; i < sspi::kAlgorithmNameSize && info.szCipherSuite[i] != 0; ++i)
        name += info.szCipherSuite[i] < 0x80 ? static_cast<char>(info.szCipherSuite[i]) : '?';
    // Without its number (Wine gives 0) the suite is known by its name.
    const bool aead = name.find("_GCM_") != std::string::npos || name.find("CHACHA20_POLY1305") != std::string::npos;
    if (info.dwCipherSuite == 0 && aead && name.compare(0, 10, "TLS_ECDHE_") == 0) return;
    char number[16];
    std::snprintf(number, sizeof number, "0x%04X", static_cast<unsigned>(info.dwCipherSuite));
    throw_text("TLS handshake failed: cipher suite " + std::string(number) + " " + name +
               " refused: ECDHE with AES-GCM or ChaCha20-Poly1305 only");
}

void SchannelChannel::check_server() {
    const std::string failure = api_.verify_server(&context_, shared_.roots(), target_);
    if (!failure.empty()) throw_text("TLS handshake failed: collector certificate not accepted: " + failure);
}

bool dns_name_matches(const std::string& pattern, const std::string& name) {
    const auto same = [](const std::string& a, const std::string& b) {
        return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
                   return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
               });
    };
    if (pattern.compare(0, 2, "*.") != 0) return same(pattern, name);
    const std::size_t dot = name.find('.');
    return dot != std::string::npos && dot > 0 && same(pattern.substr(1), name.substr(dot));
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
    api_.initialize_security_context(shared_.credentials(), &context_, target_.c_str(), sspi::kRequestFlags,
                                     sspi::kNativeDataRepresentation, nullptr, nullptr, &out_desc, &attributes);
    try {
        send_token(out);
    } catch (const SensorError&) {
        // The connection ends either way.
    }
}

}  // namespace kr::transport
