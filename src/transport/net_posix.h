#pragma once
// Linux only: the system call under the socket stand-in's connect, which a
// test replaces to get answers the kernel gives only under load (EAGAIN when
// no local port is free).
#include <sys/socket.h>

namespace kr::transport {

using ConnectCall = int (*)(int fd, const sockaddr* address, socklen_t length);
ConnectCall& connect_call();

}  // namespace kr::transport
