#pragma once
// The socket calls of the forwarder, routed through one table so that tests
// can script any answer and so that the Linux build can stand in for
// Winsock. On Windows the entries are the Winsock functions themselves; on
// Linux they are BSD sockets made to answer as Winsock does where the
// forwarder relies on it (see net_posix.cpp).
#include <cstdint>

namespace kr::transport {

// A socket handle, pointer-sized as the Winsock SOCKET is.
using Socket = std::uintptr_t;
constexpr Socket kInvalidSocket = ~static_cast<Socket>(0);
constexpr int kSocketError = -1;

// Laid out as sockaddr_in (16 bytes); port and address in network order.
struct SocketAddress {
    std::uint16_t family = 0;
    std::uint16_t port = 0;
    std::uint32_t address = 0;
    std::uint8_t zero[8] = {};
};
static_assert(sizeof(SocketAddress) == 16, "SocketAddress must have the size of sockaddr_in");

// A select time limit, laid out as the Winsock timeval (two 32-bit longs).
struct TimeLimit {
    std::int32_t seconds = 0;
    std::int32_t microseconds = 0;
};

// The platform's values of the constants the forwarder passes or compares.
extern const int kAfInet;        // AF_INET
extern const int kSockStream;    // SOCK_STREAM
extern const int kIpProtoTcp;    // IPPROTO_TCP
extern const long kFionbio;      // FIONBIO
extern const int kWouldBlock;    // a connect under way: WSAEWOULDBLOCK; EINPROGRESS on Linux
extern const int kShutdownBoth;  // SD_BOTH

struct NetApi {
    Socket (*socket)(int family, int type, int protocol);
    int (*ioctlsocket)(Socket socket, long command, std::uint32_t* argument);
    std::uint32_t (*inet_addr)(const char* text);
    std::uint16_t (*htons)(std::uint16_t value);
    int (*connect)(Socket socket, const SocketAddress* address, int length);
    // select with no read set, a write set holding only this socket, no
    // exception set: the number of ready sockets, 0 on time-out, kSocketError.
    int (*select_write)(int nfds, Socket socket, const TimeLimit* limit);
    int (*send)(Socket socket, const char* data, int length, int flags);
    // The socket layer's last error of the calling thread (WSAGetLastError).
    int (*last_error)();
    int (*shutdown)(Socket socket, int how);
    int (*closesocket)(Socket socket);
    // WSAStartup with the requested version; its WSADATA is not kept.
    int (*startup)(std::uint16_t version);
    // Only with TLS, whose handshake reads: select with a read set holding
    // only this socket (answers as select_write does), and recv (0 at the
    // end of the stream).
    int (*select_read)(int nfds, Socket socket, const TimeLimit* limit);
    int (*recv)(Socket socket, char* data, int length, int flags);
};

NetApi& net_api();
const NetApi& net_platform_api();

// Starts the socket layer, version 2.2. Called once by the run sequence
// before the forwarder starts; its result is not acted on. 0 on Linux.
int net_startup();

}  // namespace kr::transport
