#pragma once
// A real TLS server on 127.0.0.1 for the forwarder's TLS tests and the sender
// benchmark, with certificates made by `openssl` at run time (no key is kept
// in the tree). Linux only (tls_peer_posix.cpp, OpenSSL); the Windows build
// has none (available() is false there).
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

namespace kr::test {

// A CA, a second CA nobody trusts, and certificates made in a fresh
// directory: "server" names IP 127.0.0.1 and DNS collector.test; "stranger"
// the same but signed by the untrusted CA; "named" only DNS collector.test;
// "client" is an agent's certificate. Each is FILE.pem with FILE.key.
class TestPki {
public:
    TestPki();
    ~TestPki();
    std::string pem(const std::string& name) const;
    std::string key(const std::string& name) const;

private:
    struct Dir;
    std::unique_ptr<Dir> dir_;
};

class TlsPeer {
public:
    static bool available();
    // Serves one connection at a time with the certificate; a non-empty
    // client_ca requires client certificates it signed. The plaintext of
    // each session goes to a new connection to 127.0.0.1:relay_port (closed
    // when the session ends), or with relay_port 0 is only counted.
    TlsPeer(const std::string& cert, const std::string& key, const std::string& client_ca = "",
            std::uint16_t relay_port = 0);
    ~TlsPeer();
    TlsPeer(const TlsPeer&) = delete;
    TlsPeer& operator=(const TlsPeer&) = delete;

    std::uint16_t port() const { return port_; }
    // Plaintext bytes received over all sessions.
    std::uint64_t received() const { return received_; }
    // Handshakes that failed on this side.
    int refused() const { return refused_; }

private:
    void serve();

    struct State;
    std::unique_ptr<State> state_;
    std::uint16_t port_ = 0;
    std::atomic<std::uint64_t> received_{0};
    std::atomic<int> refused_{0};
};

}  // namespace kr::test
