#include <stdexcept>

#include "support/tls_peer.h"

// No OpenSSL in the Windows build: the tests that need a peer skip there.
namespace kr::test {
TestPki::TestPki() { throw std::runtime_error("no openssl in the Windows build"); }
bool TlsPeer::available() { return false; }
TlsPeer::TlsPeer(const std::string&, const std::string&, const std::string&, std::uint16_t, int, const std::string&) {
    TestPki();
}
TlsPeer::~TlsPeer() = default;
}  // namespace kr::test
