#include <winsock2.h>

#include "support/loopback.h"

namespace kr::test::loopback {
namespace {

void startup_once() {
    static const int started = [] {
        WSADATA data;
        return WSAStartup(0x0202, &data);
    }();
    (void)started;
}

}  // namespace

Handle open_bound(bool listen, std::uint16_t* port) {
    startup_once();
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return kNone;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(*port);
    int size = sizeof address;
    if (::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || (listen && ::listen(s, 8) != 0) ||
        ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        ::closesocket(s);
        return kNone;
    }
    *port = ntohs(address.sin_port);
    return static_cast<Handle>(s);
}

bool wait_readable(Handle socket, int timeout_ms) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(static_cast<SOCKET>(socket), &readable);
    timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    return ::select(0, &readable, nullptr, nullptr, &tv) > 0;
}

Handle accept(Handle listener) {
    SOCKET s = ::accept(static_cast<SOCKET>(listener), nullptr, nullptr);
    return s == INVALID_SOCKET ? kNone : static_cast<Handle>(s);
}

int receive(Handle socket, std::uint8_t* out, int size) {
    return ::recv(static_cast<SOCKET>(socket), reinterpret_cast<char*>(out), size, 0);
}

void close(Handle socket, bool reset) {
    if (socket == kNone) return;
    if (reset) {
        linger l{1, 0};
        ::setsockopt(static_cast<SOCKET>(socket), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l), sizeof l);
    }
    ::closesocket(static_cast<SOCKET>(socket));
}

}  // namespace kr::test::loopback
