#include "support/tls_peer.h"

#include <stdexcept>

namespace kr::test {

// The Windows build links no OpenSSL: the tests that need a peer skip there.
struct TestPki::Dir {};
TestPki::TestPki() { throw std::runtime_error("no openssl in the Windows build"); }
TestPki::~TestPki() = default;
std::string TestPki::pem(const std::string&) const { return ""; }
std::string TestPki::key(const std::string&) const { return ""; }

struct TlsPeer::State {};
bool TlsPeer::available() { return false; }
TlsPeer::TlsPeer(const std::string&, const std::string&, const std::string&, std::uint16_t) {
    throw std::runtime_error("no TLS peer in the Windows build");
}
TlsPeer::~TlsPeer() = default;
void TlsPeer::serve() {}

}  // namespace kr::test
