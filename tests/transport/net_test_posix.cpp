// The Linux socket layer answers a connect and the write-only select that
// follows it as Winsock does.
#include "transport/net_posix.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>

#include "support/loopback.h"
#include "transport/net_api.h"

namespace kr::transport {
namespace {

int scripted_errno = 0;

// The real connect, reported with another outcome; EAGAIN comes without one.
int scripted_connect(int fd, const sockaddr* address, socklen_t length) {
    if (scripted_errno != EAGAIN) ::connect(fd, address, length);
    errno = scripted_errno;
    return -1;
}

TEST(PosixNet, OnlyAConnectUnderWayIsWouldBlockAndOnlyAConnectionIsWritable) {
    kr::test::LoopbackListener collector;
    const NetApi& net = net_platform_api();
    const TimeLimit limit{0, 200000};
    struct Case {
        int connect_errno;  // 0: no connect at all
        int last_error;
        int writable;
    };
    const Case cases[] = {{EINPROGRESS, kWouldBlock, 1}, {EINTR, kWouldBlock, 1}, {EAGAIN, EAGAIN, 0}, {0, 0, 0}};
    const ConnectCall saved = connect_call();
    connect_call() = scripted_connect;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.connect_errno);
        scripted_errno = c.connect_errno;
        const Socket s = net.socket(kAfInet, kSockStream, kIpProtoTcp);
        std::uint32_t non_blocking = 1;
        ASSERT_EQ(0, net.ioctlsocket(s, kFionbio, &non_blocking));
        if (c.connect_errno != 0) {
            SocketAddress address;
            address.family = static_cast<std::uint16_t>(kAfInet);
            address.port = htons(collector.port());
            address.address = inet_addr("127.0.0.1");
            EXPECT_EQ(kSocketError, net.connect(s, &address, sizeof address));
            EXPECT_EQ(c.last_error, net.last_error());
            if (c.last_error == EAGAIN) {
                EXPECT_NE(kWouldBlock, net.last_error()) << "read as under way";
            }
        }
        EXPECT_EQ(c.writable, net.select_write(1, s, &limit));
        net.closesocket(s);
        collector.accept(c.writable ? 5000 : 0);
    }
    connect_call() = saved;
}

}  // namespace
}  // namespace kr::transport
