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

// A session for a target at ip over transport, which must outlive it. Throws
// when the settings cannot be applied (a file that cannot be read, say).
std::unique_ptr<TlsChannel> make_tls_channel(const kr::config::TlsSettings& settings, const std::string& ip,
                                             TlsTransport& transport);

// How the log names the settings in use, one line at the sender's start.
std::string tls_description(const kr::config::TlsSettings& settings);

}  // namespace kr::transport
