#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>
#include <thread>

#include "support/log_capture.h"
#include "support/loopback.h"
#include "support/tls_peer.h"

namespace kr::test {

struct TestPki::Dir {
    TempDir dir;
};

TestPki::TestPki() : dir_(std::make_unique<Dir>()) {
    // P-256 keys: quick to make, as any collector may use.
    const std::string script = R"(set -e
ec="-newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes"
ca() { openssl req -x509 $ec -subj "/CN=$1" -keyout $1.key -out $1.pem -days 2; }
leaf() { openssl req -new $ec -subj "/CN=$1" -keyout $1.key -out $1.csr
  printf "$3" > $1.ext
  openssl x509 -req -in $1.csr -CA $2.pem -CAkey $2.key -CAcreateserial -days 2 -extfile $1.ext -out $1.pem; }
ca ca; ca other
leaf server ca "subjectAltName=IP:127.0.0.1,DNS:collector.test"
leaf stranger other "subjectAltName=IP:127.0.0.1,DNS:collector.test"
leaf named ca "subjectAltName=DNS:collector.test"
leaf client ca "extendedKeyUsage=clientAuth"
)";
    const std::string path = dir_->dir.file("make.sh");
    std::FILE* f = std::fopen(path.c_str(), "w");
    if (f == nullptr) throw std::runtime_error("cannot write " + path);
    std::fputs(script.c_str(), f);
    std::fclose(f);
    const std::string command = "cd '" + dir_->dir.path() + "' && sh make.sh >make.log 2>&1";
    if (std::system(command.c_str()) != 0) throw std::runtime_error("openssl failed: " + dir_->dir.file("make.log"));
}

TestPki::~TestPki() = default;
std::string TestPki::pem(const std::string& name) const { return dir_->dir.file(name + ".pem"); }
std::string TestPki::key(const std::string& name) const { return dir_->dir.file(name + ".key"); }

struct TlsPeer::State {
    SSL_CTX* ctx = nullptr;
    loopback::Handle listener = loopback::kNone;
    std::uint16_t relay_port = 0;
    std::atomic<bool> stop{false};
    std::thread thread;
};

namespace {

bool send_all(int fd, const char* data, int length) {
    while (length > 0) {
        const ssize_t n = ::send(fd, data, static_cast<std::size_t>(length), MSG_NOSIGNAL);
        if (n <= 0) return false;
        data += n;
        length -= static_cast<int>(n);
    }
    return true;
}

int connect_relay(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
    if (fd >= 0) ::close(fd);
    return -1;
}

}  // namespace

bool TlsPeer::available() { return true; }

TlsPeer::TlsPeer(const std::string& cert, const std::string& key, const std::string& client_ca,
                 std::uint16_t relay_port)
    : state_(std::make_unique<State>()) {
    State& s = *state_;
    s.relay_port = relay_port;
    s.ctx = SSL_CTX_new(TLS_server_method());
    if (s.ctx == nullptr || SSL_CTX_use_certificate_chain_file(s.ctx, cert.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(s.ctx, key.c_str(), SSL_FILETYPE_PEM) != 1)
        throw std::runtime_error("TLS peer: cannot load " + cert);
    SSL_CTX_set_read_ahead(s.ctx, 1);  // whole socket reads, not one record header at a time
    if (!client_ca.empty()) {
        if (SSL_CTX_load_verify_locations(s.ctx, client_ca.c_str(), nullptr) != 1)
            throw std::runtime_error("TLS peer: cannot load " + client_ca);
        SSL_CTX_set_verify(s.ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    }
    s.listener = loopback::open_bound(true, &port_);
    if (s.listener == loopback::kNone) throw std::runtime_error("TLS peer: cannot listen");
    s.thread = std::thread([this] { serve(); });
}

TlsPeer::~TlsPeer() {
    state_->stop = true;
    state_->thread.join();
    loopback::close(state_->listener, false);
    SSL_CTX_free(state_->ctx);
}

// One session at a time: blocking calls with a receive time limit, so that
// the stop flag is seen within a fraction of a second.
void TlsPeer::serve() {
    State& s = *state_;
    while (!s.stop) {
        if (!loopback::wait_readable(s.listener, 50)) continue;
        const loopback::Handle connection = loopback::accept(s.listener);
        if (connection == loopback::kNone) continue;
        const int fd = static_cast<int>(connection);
        timeval limit{0, 100000};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        SSL* ssl = SSL_new(s.ctx);
        SSL_set_fd(ssl, fd);
        int accepted = -1;
        for (int tries = 0; tries < 50 && !s.stop; ++tries) {
            accepted = SSL_accept(ssl);
            if (accepted == 1 || SSL_get_error(ssl, accepted) != SSL_ERROR_WANT_READ) break;
        }
        const int relay = accepted == 1 && s.relay_port != 0 ? connect_relay(s.relay_port) : -1;
        if (accepted != 1) ++refused_;
        char buffer[1 << 16];
        while (accepted == 1 && !s.stop) {
            const int n = SSL_read(ssl, buffer, sizeof buffer);
            if (n <= 0) {
                if (SSL_get_error(ssl, n) == SSL_ERROR_WANT_READ) continue;
                break;
            }
            received_ += static_cast<std::uint64_t>(n);
            if (relay >= 0 && !send_all(relay, buffer, n)) break;
        }
        if (relay >= 0) ::close(relay);
        SSL_free(ssl);
        ERR_clear_error();
        loopback::close(connection, false);
    }
}

}  // namespace kr::test
