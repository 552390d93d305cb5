#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "support/loopback.h"

namespace kr::test::loopback {

Handle open_bound(bool listen, std::uint16_t* port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (fd < 0) return kNone;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(*port);
    socklen_t size = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        (listen && ::listen(fd, 8) != 0) ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        ::close(fd);
        return kNone;
    }
    *port = ntohs(address.sin_port);
    return static_cast<Handle>(fd);
}

bool wait_readable(Handle socket, int timeout_ms) {
    pollfd p{static_cast<int>(socket), POLLIN, 0};
    int n;
    while ((n = ::poll(&p, 1, timeout_ms)) < 0 && errno == EINTR) {
    }
    return n > 0;
}

Handle accept(Handle listener) {
    int fd = ::accept(static_cast<int>(listener), nullptr, nullptr);
    return fd < 0 ? kNone : static_cast<Handle>(fd);
}

int receive(Handle socket, std::uint8_t* out, int size) {
    return static_cast<int>(::recv(static_cast<int>(socket), out, static_cast<std::size_t>(size), 0));
}

void close(Handle socket, bool reset) {
    if (socket == kNone) return;
    if (reset) {
        linger l{1, 0};
        ::setsockopt(static_cast<int>(socket), SOL_SOCKET, SO_LINGER, &l, sizeof l);
    }
    ::close(static_cast<int>(socket));
}

}  // namespace kr::test::loopback
