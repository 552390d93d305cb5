#pragma once
// A real TLS server on 127.0.0.1 (OpenSSL; none in the Windows build) and
// certificates made by `openssl` at run time: no key is kept in the tree.
#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

#include "support/log_capture.h"

namespace kr::test {

// In a fresh directory, each as NAME.pem and NAME.key: CAs "ca" and "other";
// "server" names IP 127.0.0.1 and DNS collector.test, "stranger" the same but
// signed by "other", "named" only collector.test, "legacy" has CN=collector.test
// and no names; "client" is an agent's, "locked.key" its key with a passphrase.
struct TestPki {
    TestPki();
    std::string pem(const std::string& name) const { return dir.file(name + ".pem"); }
    std::string key(const std::string& name) const { return dir.file(name + ".key"); }
    TempDir dir;
};

// One session at a time; a non-empty client_ca requires a client certificate it signed. Each
// session's plaintext goes to a new connection to 127.0.0.1:relay_port, or (0) is only counted.
// max_version (e.g. TLS1_1_VERSION) and tls12_ciphers (an OpenSSL list) make a weaker server.
class TlsPeer {
public:
    static bool available();
    TlsPeer(const std::string& cert, const std::string& key, const std::string& client_ca = "",
            std::uint16_t relay_port = 0, int max_version = 0, const std::string& tls12_ciphers = "");
    ~TlsPeer();
    std::uint16_t port() const { return port_; }
    std::uint64_t received() const { return received_; }  // plaintext bytes, all sessions

private:
    void serve();
    void* ctx_ = nullptr;  // SSL_CTX
    std::uintptr_t listener_ = 0;
    std::uint16_t port_ = 0, relay_port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<std::uint64_t> received_{0};
    std::thread thread_;
};

}  // namespace kr::test
