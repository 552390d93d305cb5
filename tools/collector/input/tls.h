#pragma once
// The listener's TLS, on non-blocking sockets: one context for the process,
// one session per connection, driven by the server's poll loop.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "options/options.h"

typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;

namespace kr::collector {

class TlsContext {
public:
    // Loads the certificate, its key and the client CA; nullptr with one
    // line's reason when a file cannot be used or the key does not match.
    // `warning`, when given, says so when every user of the machine can read
    // the key. TLS 1.2 and 1.3 only, 1.2 with ECDHE and AES-GCM or
    // ChaCha20-Poly1305.
    static std::unique_ptr<TlsContext> create(const TlsOptions& options, std::string& error,
                                              std::string* warning = nullptr);
    ~TlsContext();
    TlsContext(const TlsContext&) = delete;
    TlsContext& operator=(const TlsContext&) = delete;

    bool checks_clients() const { return checks_clients_; }
    SSL_CTX* get() const { return context_; }

private:
    TlsContext(SSL_CTX* context, bool checks_clients) : context_(context), checks_clients_(checks_clients) {}

    SSL_CTX* context_;
    bool checks_clients_;
};

class TlsSession {
public:
    // What the session waits for before the next call can make progress.
    enum class Wait { none, read, write };

    TlsSession(const TlsContext& context, int fd);
    ~TlsSession();
    TlsSession(const TlsSession&) = delete;
    TlsSession& operator=(const TlsSession&) = delete;

    // Takes the handshake one step further. True when it is done or waits
    // (see wait()); false with the reason when it failed, e.g. a peer that
    // speaks plaintext or has no accepted certificate.
    bool handshake(std::string& problem);
    bool established() const { return established_; }
    // "TLSv1.3, TLS_AES_256_GCM_SHA384", then ", client CN=..." when a
    // client certificate was checked.
    std::string description() const;
    // The checked client certificate's subject (RFC 2253), "" without one.
    std::string client_subject() const;

    // As read(2): bytes, 0 at the end of the stream, -1 with `problem` empty
    // when it must wait (see wait()) or with the reason when it failed.
    long read(std::uint8_t* buffer, std::size_t size, std::string& problem);
    // Decrypted bytes wait inside the session: poll would not report them.
    bool pending() const;
    // Bytes of a TLS record begun wait inside the session for the rest of it.
    bool record_begun() const;
    Wait wait() const { return wait_; }

private:
    // Sets wait_ or `problem` for a call that returned `result`; true when it waits.
    bool should_wait(int result, std::string& problem);

    SSL* ssl_;
    int fd_;
    bool checks_clients_;
    bool first_byte_checked_ = false;
    bool established_ = false;
    Wait wait_ = Wait::none;
};

}  // namespace kr::collector
