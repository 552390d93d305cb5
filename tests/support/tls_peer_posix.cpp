#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>

#include <cstdlib>
#include <fstream>
#include <stdexcept>

#include "forward/sensor_queue_processor.h"
#include "support/loopback.h"
#include "support/tls_peer.h"

namespace kr::test {

TestPki::TestPki() {
    std::ofstream(dir.file("make.sh")) << R"(set -e
ec="-newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes"
ca() { openssl req -x509 $ec -subj "/CN=$1" -keyout $1.key -out $1.pem -days 2; }
leaf() { openssl req -new $ec -subj "/CN=${4:-$1}" -keyout $1.key -out $1.csr; echo "$3" > $1.ext
  openssl x509 -req -in $1.csr -CA $2.pem -CAkey $2.key -CAcreateserial -days 2 -extfile $1.ext -out $1.pem; }
ca ca; ca other
leaf server ca "subjectAltName=IP:127.0.0.1,DNS:collector.test"
leaf stranger other "subjectAltName=IP:127.0.0.1,DNS:collector.test"
leaf named ca "subjectAltName=DNS:collector.test"
leaf client ca "extendedKeyUsage=clientAuth"
leaf legacy ca "extendedKeyUsage=serverAuth" collector.test
openssl pkey -in client.key -aes256 -passout pass:secret -out locked.key
)";
    if (std::system(("cd '" + dir.path() + "' && sh make.sh >make.log 2>&1").c_str()) != 0)
        throw std::runtime_error("openssl failed: see " + dir.file("make.log"));
}

bool TlsPeer::available() { return true; }

TlsPeer::TlsPeer(const std::string& cert, const std::string& key, const std::string& client_ca,
                 std::uint16_t relay_port, int max_version, const std::string& tls12_ciphers)
    : relay_port_(relay_port) {
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    ctx_ = ctx;
    if (max_version != 0) {  // an old or weak server, as far as OpenSSL still goes
        SSL_CTX_set_security_level(ctx, 0);
        SSL_CTX_set_min_proto_version(ctx, 0);
        SSL_CTX_set_max_proto_version(ctx, max_version);
    }
    if (!tls12_ciphers.empty()) SSL_CTX_set_cipher_list(ctx, tls12_ciphers.c_str());
    if (SSL_CTX_use_certificate_chain_file(ctx, cert.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(ctx, key.c_str(), SSL_FILETYPE_PEM) != 1 ||
        (!client_ca.empty() && SSL_CTX_load_verify_locations(ctx, client_ca.c_str(), nullptr) != 1))
        throw std::runtime_error("TLS peer: cannot load " + cert + " " + client_ca);
    if (!client_ca.empty()) SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    SSL_CTX_set_read_ahead(ctx, 1);  // whole socket reads, not a record header at a time
    listener_ = loopback::open_bound(true, &port_);
    if (listener_ == loopback::kNone) throw std::runtime_error("TLS peer: cannot listen");
    thread_ = std::thread([this] { serve(); });
}

TlsPeer::~TlsPeer() {
    stop_ = true;
    thread_.join();
    loopback::close(listener_, false);
    SSL_CTX_free(static_cast<SSL_CTX*>(ctx_));
}

// Blocking calls with a 100 ms receive limit, so that a stop is seen soon.
void TlsPeer::serve() {
    while (!stop_) {
        const loopback::Handle connection = loopback::wait_readable(listener_, 50) ? loopback::accept(listener_)
                                                                                    : loopback::kNone;
        if (connection == loopback::kNone) continue;
        const int fd = static_cast<int>(connection);
        const timeval limit{0, 100000};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        SSL* ssl = SSL_new(static_cast<SSL_CTX*>(ctx_));
        SSL_set_fd(ssl, fd);
        int result = -1;
        for (int tries = 0; tries < 50 && !stop_ && result != 1; ++tries) {
            result = SSL_accept(ssl);
            if (result != 1 && SSL_get_error(ssl, result) != SSL_ERROR_WANT_READ) break;
        }
        // The agent's own connection class carries the plaintext on.
        kr::forward::TargetConnection relay;
        std::uint8_t buffer[1 << 16];
        try {
            if (result == 1 && relay_port_ != 0) relay.connect_to("127.0.0.1", relay_port_, 5);
            for (int n; result == 1 && !stop_ && (n = SSL_read(ssl, buffer, sizeof buffer)) != 0;) {
                if (n < 0 && SSL_get_error(ssl, n) == SSL_ERROR_WANT_READ) continue;
                if (n < 0) break;
                received_ += static_cast<std::uint64_t>(n);
                if (relay_port_ != 0) relay.send_all(buffer, static_cast<std::size_t>(n));
            }
        } catch (const std::exception&) {
            // The listener behind went away: the session ends.
        }
        SSL_free(ssl);
        ERR_clear_error();
        loopback::close(connection, false);
    }
}

}  // namespace kr::test
