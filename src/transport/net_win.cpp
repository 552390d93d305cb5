#include <winsock2.h>

#include <cstddef>

#include "transport/net_api.h"

namespace kr::transport {

static_assert(sizeof(SOCKET) == sizeof(Socket), "Socket must hold a SOCKET");
static_assert(INVALID_SOCKET == kInvalidSocket, "kInvalidSocket must be INVALID_SOCKET");
static_assert(SOCKET_ERROR == kSocketError, "kSocketError must be SOCKET_ERROR");
static_assert(sizeof(sockaddr_in) == sizeof(SocketAddress), "SocketAddress must match sockaddr_in");
static_assert(offsetof(sockaddr_in, sin_port) == offsetof(SocketAddress, port), "sin_port offset");
static_assert(offsetof(sockaddr_in, sin_addr) == offsetof(SocketAddress, address), "sin_addr offset");
static_assert(sizeof(timeval) == sizeof(TimeLimit), "TimeLimit must match timeval");
static_assert(sizeof(u_long) == sizeof(std::uint32_t), "u_long is 32 bits");

const int kAfInet = AF_INET;
const int kSockStream = SOCK_STREAM;
const int kIpProtoTcp = IPPROTO_TCP;
const long kFionbio = static_cast<long>(FIONBIO);
const int kWouldBlock = WSAEWOULDBLOCK;
const int kShutdownBoth = SD_BOTH;

namespace {

Socket win_socket(int family, int type, int protocol) { return ::socket(family, type, protocol); }

int win_ioctlsocket(Socket s, long command, std::uint32_t* argument) {
    u_long value = *argument;
    int result = ::ioctlsocket(s, command, &value);
    *argument = value;
    return result;
}

std::uint32_t win_inet_addr(const char* text) { return ::inet_addr(text); }

std::uint16_t win_htons(std::uint16_t value) { return ::htons(value); }

int win_connect(Socket s, const SocketAddress* address, int length) {
    return ::connect(s, reinterpret_cast<const sockaddr*>(address), length);
}

int win_select_write(int nfds, Socket s, const TimeLimit* limit) {
    fd_set writable;
    FD_ZERO(&writable);
    FD_SET(s, &writable);
    timeval tv{limit->seconds, limit->microseconds};
    return ::select(nfds, nullptr, &writable, nullptr, &tv);
}

int win_select_read(int nfds, Socket s, const TimeLimit* limit) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(s, &readable);
    timeval tv{limit->seconds, limit->microseconds};
    return ::select(nfds, &readable, nullptr, nullptr, &tv);
}

int win_recv(Socket s, char* data, int length, int flags) { return ::recv(s, data, length, flags); }

int win_send(Socket s, const char* data, int length, int flags) { return ::send(s, data, length, flags); }

int win_last_error() { return ::WSAGetLastError(); }

int win_shutdown(Socket s, int how) { return ::shutdown(s, how); }

int win_closesocket(Socket s) { return ::closesocket(s); }

int win_startup(std::uint16_t version) {
    WSADATA data;
    return ::WSAStartup(version, &data);
}

}  // namespace

const NetApi& net_platform_api() {
    static const NetApi api{win_socket,  win_ioctlsocket, win_inet_addr,  win_htons,
                            win_connect, win_select_write, win_send,      win_last_error,
                            win_shutdown, win_closesocket, win_startup,   win_select_read,
                            win_recv};
    return api;
}

}  // namespace kr::transport
