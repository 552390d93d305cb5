#include "input/tls.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

namespace kr::collector {

namespace {

// TLS 1.2 suites: forward secrecy (ECDHE) and authenticated encryption only,
// for EC and RSA certificates. TLS 1.3's own suites are all of that kind.
constexpr char kTls12Suites[] =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:ECDHE-ECDSA-AES256-GCM-SHA384:"
    "ECDHE-RSA-AES256-GCM-SHA384:ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305";

// The first byte of a TLS record carrying a handshake message.
constexpr std::uint8_t kHandshakeRecord = 0x16;
constexpr std::size_t kMaxRecordPlaintext = 16384;

// OpenSSL's reason for the last failure on this thread, and a clean queue.
std::string openssl_reason() {
    const unsigned long code = ERR_peek_error();  // the first: the most specific
    ERR_clear_error();
    if (code == 0) {
        return "unknown OpenSSL error";
    }
    const char* reason = ERR_reason_error_string(code);
    return reason != nullptr ? reason : "OpenSSL error " + std::to_string(code);
}

// A key with a passphrase would make OpenSSL ask on the terminal; the
// collector runs unattended, so such a key is refused instead.
int no_passphrase(char*, int, int, void*) {
    return -1;
}

// fopen's reason is clearer than OpenSSL's for a missing or unreadable file.
bool readable(const std::string& option, const std::string& path, std::string& error) {
    std::FILE* file = std::fopen(path.c_str(), "r");
    if (file == nullptr) {
        error = "cannot read " + option + " " + path + ": " + std::strerror(errno);
        return false;
    }
    std::fclose(file);
    return true;
}

bool load_key(SSL_CTX* context, const TlsOptions& options, std::string& error) {
    std::FILE* file = std::fopen(options.key.c_str(), "r");
    EVP_PKEY* key = file != nullptr ? PEM_read_PrivateKey(file, nullptr, no_passphrase, nullptr) : nullptr;
    if (file != nullptr) {
        std::fclose(file);
    }
    if (key == nullptr) {
        error = "cannot use --tls-key " + options.key + ": not a PEM private key, or one with a passphrase (" +
                openssl_reason() + ")";
        return false;
    }
    const bool matches = X509_check_private_key(SSL_CTX_get0_certificate(context), key) == 1;
    const bool used = matches && SSL_CTX_use_PrivateKey(context, key) == 1;
    EVP_PKEY_free(key);
    if (!matches) {
        ERR_clear_error();
        error = "--tls-key " + options.key + " is not the key of the certificate in --tls-cert " + options.cert;
    } else if (!used) {
        error = "cannot use --tls-key " + options.key + ": " + openssl_reason();
    }
    return matches && used;
}

// A private key that every user can read is no secret: said, not refused
// (group access, an ssl-cert group say, is a choice of the system's).
std::string key_warning(const std::string& path) {
    struct stat status {};
    if (stat(path.c_str(), &status) != 0 || (status.st_mode & S_IROTH) == 0) {
        return "";
    }
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(status.st_mode & 07777));
    return "--tls-key " + path + " can be read by every user (mode " + mode + "): chmod 600 it";
}

bool configure(SSL_CTX* context, const TlsOptions& options, std::string& error) {
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    if (SSL_CTX_set_cipher_list(context, kTls12Suites) != 1) {
        error = "cannot set the TLS 1.2 cipher suites: " + openssl_reason();
        return false;
    }
    // No resumed sessions: without tickets or a cache every connection is
    // checked in full against the files of this run, and the collector never
    // has to write after the handshake. An agent that drops its connection
    // without a TLS close ends its stream as it would in plaintext: a record
    // cut short is still reported as one.
    SSL_CTX_set_options(context, SSL_OP_NO_RENEGOTIATION | SSL_OP_IGNORE_UNEXPECTED_EOF | SSL_OP_NO_TICKET);
    SSL_CTX_set_num_tickets(context, 0);
    SSL_CTX_set_session_cache_mode(context, SSL_SESS_CACHE_OFF);
    SSL_CTX_set_default_passwd_cb(context, no_passphrase);
    if (!readable("--tls-cert", options.cert, error) || !readable("--tls-key", options.key, error) ||
        (!options.client_ca.empty() && !readable("--tls-client-ca", options.client_ca, error))) {
        return false;
    }
    if (SSL_CTX_use_certificate_chain_file(context, options.cert.c_str()) != 1) {
        error = "cannot use --tls-cert " + options.cert + " as a PEM certificate: " + openssl_reason();
        return false;
    }
    if (!load_key(context, options, error)) {
        return false;
    }
    if (options.client_ca.empty()) {
        return true;
    }
    STACK_OF(X509_NAME)* names = SSL_load_client_CA_file(options.client_ca.c_str());
    if (names == nullptr || SSL_CTX_load_verify_locations(context, options.client_ca.c_str(), nullptr) != 1) {
        sk_X509_NAME_pop_free(names, X509_NAME_free);
        error = "cannot use --tls-client-ca " + options.client_ca + " as PEM CA certificates: " + openssl_reason();
        return false;
    }
    // The names tell an agent with several certificates which one to offer.
    SSL_CTX_set_client_CA_list(context, names);
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    return true;
}

std::string subject_text(X509* certificate) {
    BIO* text = BIO_new(BIO_s_mem());
    if (text == nullptr) {
        return "?";
    }
    // RFC 2253 form, control and non-ASCII bytes escaped: one safe log line.
    X509_NAME_print_ex(text, X509_get_subject_name(certificate), 0, XN_FLAG_RFC2253);
    char* data = nullptr;
    const long size = BIO_get_mem_data(text, &data);
    std::string result = size > 0 ? std::string(data, static_cast<std::size_t>(size)) : "(empty subject)";
    BIO_free(text);
    return result;
}

}  // namespace

std::unique_ptr<TlsContext> TlsContext::create(const TlsOptions& options, std::string& error,
                                               std::string* warning) {
    ERR_clear_error();
    SSL_CTX* context = SSL_CTX_new(TLS_server_method());
    if (context == nullptr) {
        error = "cannot set up TLS: " + openssl_reason();
        return nullptr;
    }
    if (!configure(context, options, error)) {
        SSL_CTX_free(context);
        return nullptr;
    }
    if (warning != nullptr) {
        *warning = key_warning(options.key);
    }
    return std::unique_ptr<TlsContext>(new TlsContext(context, !options.client_ca.empty()));
}

TlsContext::~TlsContext() {
    SSL_CTX_free(context_);
}

TlsSession::TlsSession(const TlsContext& context, int fd)
    : ssl_(SSL_new(context.get())), fd_(fd), checks_clients_(context.checks_clients()) {
    if (ssl_ != nullptr && SSL_set_fd(ssl_, fd) != 1) {
        SSL_free(ssl_);
        ssl_ = nullptr;
    }
}

TlsSession::~TlsSession() {
    SSL_free(ssl_);
}

bool TlsSession::handshake(std::string& problem) {
    if (ssl_ == nullptr) {
        problem = "cannot start a TLS session: " + openssl_reason();
        return false;
    }
    if (!first_byte_checked_) {
        // Nothing read yet: an agent that speaks plaintext is told apart
        // here, not by whatever OpenSSL makes of its hello record.
        std::uint8_t first = 0;
        const ssize_t got = recv(fd_, &first, 1, MSG_PEEK | MSG_DONTWAIT);
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            wait_ = Wait::read;
            return true;
        }
        if (got <= 0) {
            problem = got == 0 ? std::string("closed before its TLS handshake")
                               : std::string("read failed: ") + std::strerror(errno);
            return false;
        }
        if (first != kHandshakeRecord) {
            char text[128];
            std::snprintf(text, sizeof text, "no TLS handshake (first byte 0x%02x; an agent without tls on?)", first);
            problem = text;
            return false;
        }
        first_byte_checked_ = true;
    }
    ERR_clear_error();
    errno = 0;
    const int result = SSL_accept(ssl_);
    if (result == 1) {
        established_ = true;
        wait_ = Wait::none;
        return true;
    }
    if (should_wait(result, problem)) {
        return true;
    }
    problem = "TLS handshake failed: " + problem;
    return false;
}

long TlsSession::read(std::uint8_t* buffer, std::size_t size, std::string& problem) {
    // SSL_read gives one TLS record at a time: fill the buffer from as many
    // as there are, so one read is worth a plain one. Each takes a whole
    // record (at most 16 KiB), so no decrypted byte stays behind in OpenSSL
    // unseen by poll; pending() is the safety net should that ever change.
    std::size_t filled = 0;
    while (filled == 0 || size - filled >= kMaxRecordPlaintext) {
        ERR_clear_error();
        errno = 0;
        const auto chunk = static_cast<int>(std::min<std::size_t>(size - filled, INT_MAX));
        const int result = SSL_read(ssl_, buffer + filled, chunk);
        if (result > 0) {
            filled += static_cast<std::size_t>(result);
            continue;
        }
        if (filled > 0) {
            break;  // what ended this call comes again on the next one
        }
        if (SSL_get_error(ssl_, result) == SSL_ERROR_ZERO_RETURN) {
            return 0;
        }
        should_wait(result, problem);
        return -1;
    }
    wait_ = Wait::none;
    return static_cast<long>(filled);
}

bool TlsSession::pending() const {
    return ssl_ != nullptr && established_ && SSL_pending(ssl_) > 0;
}

bool TlsSession::record_begun() const {
    return ssl_ != nullptr && established_ && SSL_has_pending(ssl_) == 1;
}

std::string TlsSession::description() const {
    const std::string subject = client_subject();
    return std::string(SSL_get_version(ssl_)) + ", " + SSL_get_cipher_name(ssl_) +
           (subject.empty() ? "" : ", client " + subject);
}

std::string TlsSession::client_subject() const {
    X509* peer = SSL_get0_peer_certificate(ssl_);
    return checks_clients_ && peer != nullptr ? subject_text(peer) : "";
}

bool TlsSession::should_wait(int result, std::string& problem) {
    const int error = SSL_get_error(ssl_, result);
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
        wait_ = error == SSL_ERROR_WANT_READ ? Wait::read : Wait::write;
        return true;
    }
    wait_ = Wait::none;
    if (error == SSL_ERROR_SYSCALL) {
        problem = errno != 0 ? std::string("read failed: ") + std::strerror(errno) : "connection closed";
        ERR_clear_error();
    } else if (error == SSL_ERROR_ZERO_RETURN) {
        problem = "connection closed";
    } else if (SSL_get_verify_result(ssl_) != X509_V_OK) {
        problem = std::string("certificate verify failed: ") +
                  X509_verify_cert_error_string(SSL_get_verify_result(ssl_));
        ERR_clear_error();
    } else {
        // An alert from the agent: most often it does not trust the
        // collector's certificate, or the certificate lacks its name or address.
        const unsigned long code = ERR_peek_error();
        const bool alert = ERR_GET_LIB(code) == ERR_LIB_SSL && ERR_GET_REASON(code) >= SSL_AD_REASON_OFFSET;
        problem = (alert ? "the agent sent " : "") + openssl_reason();
    }
    return false;
}

}  // namespace kr::collector
