#pragma once
// A TLS client session over one connected socket: the handshake, then the
// sender's bytes as TLS records. The platform file makes it (tls_posix.cpp:
// OpenSSL; tls_win.cpp: Schannel). Every failure throws SensorError with a
// text that says what failed.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "config/config.h"

namespace kr::transport {

// The socket beneath a session, owned by the connection.
class TlsTransport {
public:
    virtual ~TlsTransport() = default;
    // Every byte out, or throws.
    virtual void send_raw(const std::uint8_t* data, std::size_t length) = 0;
    // At least one byte in (the count), or throws: the end of the stream, a
    // failed call, or the connection's time limit.
    virtual std::size_t receive_raw(std::uint8_t* out, std::size_t size) = 0;
    // True once the connection's time limit has passed: a handshake step
    // that reads nothing must still end by then.
    virtual bool expired() const = 0;
};

// What every session of a run shares, made once at the sender's start: the
// CAs, the client certificate and its key (Linux) or credentials (Windows).
// Files that change later are read again only at the next start.
class TlsContext {
public:
    explicit TlsContext(const kr::config::TlsSettings& settings) : settings_(settings) {}
    virtual ~TlsContext() = default;
    TlsContext(const TlsContext&) = delete;
    TlsContext& operator=(const TlsContext&) = delete;
    const kr::config::TlsSettings& settings() const { return settings_; }

private:
    kr::config::TlsSettings settings_;
};

class TlsChannel {
public:
    virtual ~TlsChannel() = default;
    // Runs the handshake to its end: the collector's certificate checked,
    // the client certificate sent when one is set.
    virtual void handshake() = 0;
    // Every byte as application data.
    virtual void send(const std::uint8_t* data, std::size_t length) = 0;
    // Tells the peer the session ends (close_notify), one attempt, no error.
    virtual void close_notify() = 0;
};

// The context of the settings (tls on). Throws SensorError with one line
// when a file cannot be used: unreadable, not PEM, or a key with a passphrase
// (never asked for). `warning` gets a line for the log, or stays empty.
std::unique_ptr<TlsContext> make_tls_context(const kr::config::TlsSettings& settings, std::string& warning);

// A session to the collector at `address`, the dotted decimal address the
// socket was connected to, which the certificate must name unless tls-name
// is set; over transport. Both must outlive the session. TLS 1.2 is limited
// to ECDHE suites with AES-GCM or ChaCha20-Poly1305; TLS 1.3 as it is.
std::unique_ptr<TlsChannel> make_tls_channel(const TlsContext& context, const std::string& address,
                                             TlsTransport& transport);

// How the log names the settings in use, one line at the sender's start.
std::string tls_description(const kr::config::TlsSettings& settings);

}  // namespace kr::transport
