#include <stdexcept>

#include "support/tls_peer.h"

namespace kr::test {

// No OpenSSL in the Windows build: the tests that need a peer skip there.
TestPki::TestPki() { throw std::runtime_error("no openssl in the Windows build"); }
bool TlsPeer::available() { return false; }
TlsPeer::TlsPeer(const std::string&, const std::string&, const std::string&, std::uint16_t) { TestPki(); }
TlsPeer::~TlsPeer() = default;

}  // namespace kr::test
