// The TLS session on Linux: OpenSSL over memory buffers, so that every byte
// still goes through the connection's socket calls and their time limits.
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "error/error.h"
#include "transport/tls_channel.h"

namespace kr::transport {
using kr::sensor::SensorError;

namespace {

struct CtxFree {
    void operator()(SSL_CTX* ctx) const { SSL_CTX_free(ctx); }
};
struct SslFree {
    void operator()(SSL* ssl) const { SSL_free(ssl); }
};

// OpenSSL's queue of errors as one text, emptied; fallback when it is empty.
std::string openssl_errors(const char* fallback) {
    std::string text;
    while (const unsigned long code = ERR_get_error()) {
        char buffer[256];
        ERR_error_string_n(code, buffer, sizeof buffer);
        if (!text.empty()) text += "; ";
        text += buffer;
    }
    return text.empty() ? fallback : text;
}

[[noreturn]] void fail(const std::string& what, const char* fallback = "failed") {
    throw SensorError((what + ": " + openssl_errors(fallback)).c_str());
}

// TLS 1.2 suites: forward secrecy (ECDHE) and authenticated encryption only.
constexpr char kTls12Suites[] =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:ECDHE-ECDSA-AES256-GCM-SHA384:"
    "ECDHE-RSA-AES256-GCM-SHA384:ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305";

// The agent runs unattended: a key with a passphrase is refused, never a prompt.
int no_passphrase(char*, int, int, void*) { return -1; }

// The whole file, or throws with the system's reason.
std::string file_text(const std::string& key, const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw SensorError((key + " " + path + ": cannot be read: " + std::strerror(errno)).c_str());
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void use_key(SSL_CTX* ctx, const std::string& path) {
    const std::string text = file_text("tls-key", path);
    if (text.find("ENCRYPTED") != std::string::npos)
        throw SensorError(("tls-key " + path + ": the key has a passphrase, and the agent never asks for one: "
                           "write it without (openssl pkey -in KEY -out NEW_KEY)")
                              .c_str());
    BIO* memory = BIO_new_mem_buf(text.data(), static_cast<int>(text.size()));
    EVP_PKEY* key = memory != nullptr ? PEM_read_bio_PrivateKey(memory, nullptr, no_passphrase, nullptr) : nullptr;
    BIO_free(memory);
    const bool used = key != nullptr && SSL_CTX_use_PrivateKey(ctx, key) == 1 && SSL_CTX_check_private_key(ctx) == 1;
    EVP_PKEY_free(key);
    if (!used) fail("tls-key " + path);
}

class OpenSslContext : public TlsContext {
public:
    explicit OpenSslContext(const kr::config::TlsSettings& settings) : TlsContext(settings) {
        ERR_clear_error();
        ctx_.reset(SSL_CTX_new(TLS_client_method()));
        if (!ctx_) fail("SSL_CTX_new()");
        SSL_CTX_set_min_proto_version(ctx_.get(), TLS1_2_VERSION);
        SSL_CTX_set_default_passwd_cb(ctx_.get(), no_passphrase);
        // AES-128-GCM first: as safe, and the cheapest on the sender's CPU.
        SSL_CTX_set_ciphersuites(ctx_.get(),
                                 "TLS_AES_128_GCM_SHA256:TLS_AES_256_GCM_SHA384:TLS_CHACHA20_POLY1305_SHA256");
        if (SSL_CTX_set_cipher_list(ctx_.get(), kTls12Suites) != 1) fail("SSL_CTX_set_cipher_list()");
        SSL_CTX_set_verify(ctx_.get(), SSL_VERIFY_PEER, nullptr);
        if (!settings.ca.empty()) file_text("tls-ca", settings.ca);
        const bool trusted = settings.ca.empty() ? SSL_CTX_set_default_verify_paths(ctx_.get()) == 1
                                                 : SSL_CTX_load_verify_locations(ctx_.get(), settings.ca.c_str(),
                                                                                  nullptr) == 1;
        if (!trusted) fail("tls-ca " + (settings.ca.empty() ? std::string("(system store)") : settings.ca));
        if (settings.cert.empty()) return;
        // With a client certificate, TLS 1.2: there the collector's verdict on
        // it is part of the handshake, while with TLS 1.3 a collector that
        // sends no session tickets leaves an accepted certificate unconfirmed.
        SSL_CTX_set_max_proto_version(ctx_.get(), TLS1_2_VERSION);
        file_text("tls-cert", settings.cert);
        if (SSL_CTX_use_certificate_chain_file(ctx_.get(), settings.cert.c_str()) != 1)
            fail("tls-cert " + settings.cert);
        // Without tls-key the key is looked for in the certificate's own file.
        key_ = settings.key.empty() ? settings.cert : settings.key;
        use_key(ctx_.get(), key_);
    }

    SSL_CTX* get() const { return ctx_.get(); }
    const std::string& key() const { return key_; }

private:
    std::unique_ptr<SSL_CTX, CtxFree> ctx_;
    std::string key_;  // the key's file, "" without a client certificate
};

class OpenSslChannel : public TlsChannel {
public:
    OpenSslChannel(const OpenSslContext& context, const std::string& address, TlsTransport& transport)
        : transport_(transport) {
        ERR_clear_error();
        ssl_.reset(SSL_new(context.get()));
        if (!ssl_) fail("SSL_new()");
        // Called only when the collector asks for a client certificate.
        SSL_set_cert_cb(
            ssl_.get(),
            [](SSL*, void* self) {
                static_cast<OpenSslChannel*>(self)->certificate_requested_ = true;
                return 1;
            },
            this);
        // The collector's certificate must name what the agent expects: the
        // configured name among its DNS names (never its subject's CN), else
        // the address the socket was connected to.
        const kr::config::TlsSettings& settings = context.settings();
        SSL_set_hostflags(ssl_.get(), X509_CHECK_FLAG_NEVER_CHECK_SUBJECT);
        const bool named = settings.name.empty()
                               ? X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl_.get()), address.c_str()) == 1
                               : SSL_set1_host(ssl_.get(), settings.name.c_str()) == 1 &&
                                     SSL_set_tlsext_host_name(ssl_.get(), settings.name.c_str()) == 1;
        if (!named) fail("tls-name " + (settings.name.empty() ? address : settings.name));
        BIO* in = BIO_new(BIO_s_mem());
        BIO* out = BIO_new(BIO_s_mem());
        if (in == nullptr || out == nullptr) {
            BIO_free(in);
            BIO_free(out);
            fail("BIO_new()");
        }
        in_ = in;
        out_ = out;
        SSL_set_bio(ssl_.get(), in, out);  // owned by the session from here on
    }

    void handshake() override {
        for (;;) {
            ERR_clear_error();
            const int result = SSL_connect(ssl_.get());
            flush();
            if (result == 1) break;
            const int error = SSL_get_error(ssl_.get(), result);
            if (error != SSL_ERROR_WANT_READ) handshake_failed();
            try {
                feed();
            } catch (const SensorError& e) {
                throw SensorError((std::string("TLS handshake failed: ") + e.what()).c_str());
            }
        }
        // Asked for a certificate the agent has not (TLS 1.3): the collector
        // judges after the client has finished, and its answer (an alert, or
        // session tickets) is awaited here, so that a refusal is a failed connect.
        if (certificate_requested_ && SSL_version(ssl_.get()) >= TLS1_3_VERSION) await_verdict();
    }

    void send(const std::uint8_t* data, std::size_t length) override {
        while (length > 0) {
            const int chunk = length > INT_MAX ? INT_MAX : static_cast<int>(length);
            ERR_clear_error();
            const int n = SSL_write(ssl_.get(), data, chunk);
            if (n <= 0) fail("SSL_write()");
            data += n;
            length -= static_cast<std::size_t>(n);
        }
        flush();
    }

    void close_notify() override {
        try {
            if (SSL_shutdown(ssl_.get()) >= 0) flush();
        } catch (const SensorError&) {
            // The connection ends either way.
        }
        ERR_clear_error();
    }

private:
    // What OpenSSL has written goes to the socket in one piece, without a copy.
    void flush() {
        char* data = nullptr;
        const long n = BIO_get_mem_data(out_, &data);
        if (n <= 0) return;
        transport_.send_raw(reinterpret_cast<const std::uint8_t*>(data), static_cast<std::size_t>(n));
        (void)BIO_reset(out_);
    }

    // What the socket has comes in; throws at the time limit.
    void feed() {
        std::uint8_t buffer[16 * 1024 + 512];
        const std::size_t n = transport_.receive_raw(buffer, sizeof buffer);
        if (BIO_write(in_, buffer, static_cast<int>(n)) != static_cast<int>(n)) fail("BIO_write()");
    }

    [[noreturn]] void handshake_failed() {
        const long verify = SSL_get_verify_result(ssl_.get());
        if (verify != X509_V_OK) {
            ERR_clear_error();
            const std::string text = std::string("TLS handshake failed: collector certificate not accepted: ") +
                                     X509_verify_cert_error_string(verify);
            throw SensorError(text.c_str());
        }
        fail("TLS handshake failed", "connection closed during the handshake");
    }

    void await_verdict() {
        for (;;) {
            try {
                feed();
            } catch (const SensorError& e) {
                // A collector that sends nothing after the handshake (no
                // tickets) is taken at its word once the time is up.
                if (std::string(e.what()) == "select() timed out") return;
                throw SensorError((std::string("TLS handshake failed: ") + e.what()).c_str());
            }
            std::uint8_t byte;
            ERR_clear_error();
            const int n = SSL_read(ssl_.get(), &byte, 1);
            if (n > 0) return;
            if (SSL_get_error(ssl_.get(), n) != SSL_ERROR_WANT_READ)
                fail("TLS handshake failed", "client certificate not accepted");
            // A ticket makes the session resumable: the collector took the certificate.
            if (SSL_SESSION_is_resumable(SSL_get0_session(ssl_.get())) == 1) return;
        }
    }

    TlsTransport& transport_;
    bool certificate_requested_ = false;
    std::unique_ptr<SSL, SslFree> ssl_;
    BIO* in_ = nullptr;
    BIO* out_ = nullptr;
};

}  // namespace

std::unique_ptr<TlsContext> make_tls_context(const kr::config::TlsSettings& settings, std::string& warning) {
    auto context = std::make_unique<OpenSslContext>(settings);
    // A private key every user can read is no secret: said, not refused
    // (group access, an ssl-cert group say, is the system's choice).
    struct stat status {};
    if (!context->key().empty() && stat(context->key().c_str(), &status) == 0 && (status.st_mode & S_IROTH) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(status.st_mode & 07777));
        warning = "tls-key " + context->key() + " can be read by every user (mode " + mode + "): chmod 600 it";
    }
    return context;
}

std::unique_ptr<TlsChannel> make_tls_channel(const TlsContext& context, const std::string& address,
                                             TlsTransport& transport) {
    return std::make_unique<OpenSslChannel>(static_cast<const OpenSslContext&>(context), address, transport);
}

std::string tls_description(const kr::config::TlsSettings& settings) {
    return "CA " + (settings.ca.empty() ? std::string("system store") : settings.ca) + ", name " +
           (settings.name.empty() ? std::string("target address") : settings.name) + ", client certificate " +
           (settings.cert.empty() ? std::string("none") : settings.cert) +
           // A Windows key copied into a Linux configuration is said to do nothing here.
           (settings.thumbprint.empty() ? "" : " (tls-cert-thumbprint is for Windows: ignored)");
}

}  // namespace kr::transport
