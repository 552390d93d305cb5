#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <unordered_map>

#include "transport/net_api.h"
#include "transport/net_posix.h"

namespace kr::transport {

static_assert(sizeof(sockaddr_in) == sizeof(SocketAddress), "SocketAddress must match sockaddr_in");
static_assert(offsetof(sockaddr_in, sin_port) == offsetof(SocketAddress, port), "sin_port offset");
static_assert(offsetof(sockaddr_in, sin_addr) == offsetof(SocketAddress, address), "sin_addr offset");

const int kAfInet = AF_INET;
const int kSockStream = SOCK_STREAM;
const int kIpProtoTcp = IPPROTO_TCP;
const long kFionbio = FIONBIO;
// What a non-blocking connect says while it goes on; EAGAIN from connect is
// a failure of its own (no free local port).
const int kWouldBlock = EINPROGRESS;
const int kShutdownBoth = SHUT_RDWR;

namespace {

thread_local int last_error_code = 0;

int fail(int code) {
    last_error_code = code;
    return kSocketError;
}

int to_fd(Socket s) { return s <= static_cast<Socket>(INT_MAX) ? static_cast<int>(s) : -1; }

// Winsock reports the outcome of a non-blocking connect to a write-only
// select in one way: writable once connected, and never writable when the
// attempt failed (the failure shows only in an exception set, which the
// forwarder does not pass) or when no connect was made. poll reports a
// failed attempt, and a socket that never connected, as writable, so each
// socket is tracked here from its connect on; one that is not listed is
// never writable.
enum class ConnectState { pending, failed, connected };

std::mutex connect_lock;
std::unordered_map<int, ConnectState>& connects() {
    static auto* map = new std::unordered_map<int, ConnectState>();
    return *map;
}

void set_state(int fd, ConnectState state) {
    std::lock_guard<std::mutex> guard(connect_lock);
    connects()[fd] = state;
}

bool get_state(int fd, ConnectState* state) {
    std::lock_guard<std::mutex> guard(connect_lock);
    auto it = connects().find(fd);
    if (it == connects().end()) return false;
    *state = it->second;
    return true;
}

void forget(int fd) {
    std::lock_guard<std::mutex> guard(connect_lock);
    connects().erase(fd);
}

Socket posix_socket(int family, int type, int protocol) {
    int fd = ::socket(family, type, protocol);
    if (fd < 0) {
        fail(errno);
        return kInvalidSocket;
    }
    forget(fd);
    return static_cast<Socket>(fd);
}

int posix_ioctlsocket(Socket s, long command, std::uint32_t* argument) {
    int value = static_cast<int>(*argument);
    if (::ioctl(to_fd(s), static_cast<unsigned long>(command), &value) != 0) return fail(errno);
    *argument = static_cast<std::uint32_t>(value);
    return 0;
}

std::uint32_t posix_inet_addr(const char* text) { return ::inet_addr(text); }

std::uint16_t posix_htons(std::uint16_t value) { return htons(value); }

int posix_connect(Socket s, const SocketAddress* address, int length) {
    int fd = to_fd(s);
    sockaddr_in in{};
    std::memcpy(&in, address, sizeof in);
    if (connect_call()(fd, reinterpret_cast<const sockaddr*>(&in), static_cast<socklen_t>(length)) == 0) {
        set_state(fd, ConnectState::connected);
        return 0;
    }
    int code = errno;
    switch (code) {
        case EINPROGRESS:
        case EINTR:  // the attempt goes on in the background
            set_state(fd, ConnectState::pending);
            return fail(kWouldBlock);
        case ECONNREFUSED:
        case ETIMEDOUT:
            // Winsock never reports these at once for a non-blocking socket.
            set_state(fd, ConnectState::failed);
            return fail(kWouldBlock);
        default:
            return fail(code);
    }
}

int wait_ms(int fd, short events, long long ms, short* revents) {
    pollfd p{fd, events, 0};
    int limit = ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
    int n = ::poll(fd < 0 ? nullptr : &p, fd < 0 ? 0 : 1, limit);
    *revents = p.revents;
    return n;
}

using Clock = std::chrono::steady_clock;

// The start of a select-like wait: the socket's descriptor and the deadline
// of the time limit, or -1 with errno set for a bad socket or limit.
int start_wait(Socket s, const TimeLimit* limit, Clock::time_point* deadline) {
    const int fd = to_fd(s);
    if (fd < 0) return fail(EBADF);
    if (limit->seconds < 0 || limit->microseconds < 0) return fail(EINVAL);
    *deadline = Clock::now() + std::chrono::seconds(limit->seconds) + std::chrono::microseconds(limit->microseconds);
    return fd;
}

// Whole milliseconds left until the deadline, rounded up; 0 once it passed.
long long ms_until(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? left : 0;
}

int posix_select_write(int, Socket s, const TimeLimit* limit) {
    Clock::time_point deadline;
    const int fd = start_wait(s, limit, &deadline);
    if (fd < 0) return kSocketError;
    auto remaining_ms = [&] { return ms_until(deadline); };
    for (;;) {
        ConnectState state = ConnectState::failed;
        get_state(fd, &state);
        short revents = 0;
        if (state == ConnectState::failed) {
            // Never writable: sit out the time limit as Winsock does.
            while (remaining_ms() > 0) wait_ms(-1, 0, remaining_ms(), &revents);
            return 0;
        }
        int n = wait_ms(fd, POLLOUT, remaining_ms(), &revents);
        if (n < 0) {
            if (errno == EINTR) continue;
            return fail(errno);
        }
        if (n == 0) {
            if (remaining_ms() > 0) continue;
            return 0;
        }
        if (revents & POLLNVAL) return fail(EBADF);
        if (state == ConnectState::connected) return 1;
        int error = 0;
        socklen_t size = sizeof error;
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) return fail(errno);
        if (error == 0 && (revents & POLLOUT)) {
            set_state(fd, ConnectState::connected);
            return 1;
        }
        set_state(fd, ConnectState::failed);
    }
}

// Only used on connected sockets, so no connect state is involved: readable
// with data, at the end of the stream or on an error, as select says.
int posix_select_read(int, Socket s, const TimeLimit* limit) {
    Clock::time_point deadline;
    const int fd = start_wait(s, limit, &deadline);
    if (fd < 0) return kSocketError;
    for (;;) {
        // A signal restarts the wait with what is left of the limit.
        short revents = 0;
        const int n = wait_ms(fd, POLLIN, ms_until(deadline), &revents);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return fail(errno);
        if (n > 0 && (revents & POLLNVAL)) return fail(EBADF);
        return n;
    }
}

int posix_recv(Socket s, char* data, int length, int flags) {
    ssize_t n = ::recv(to_fd(s), data, static_cast<std::size_t>(length), flags);
    return n < 0 ? fail(errno) : static_cast<int>(n);
}

int posix_send(Socket s, const char* data, int length, int flags) {
    // A peer that has gone must give an error, never SIGPIPE.
    ssize_t n = ::send(to_fd(s), data, static_cast<std::size_t>(length), flags | MSG_NOSIGNAL);
    return n < 0 ? fail(errno) : static_cast<int>(n);
}

int posix_last_error() { return last_error_code; }

int posix_shutdown(Socket s, int how) { return ::shutdown(to_fd(s), how) == 0 ? 0 : fail(errno); }

int posix_closesocket(Socket s) {
    int fd = to_fd(s);
    forget(fd);
    return ::close(fd) == 0 ? 0 : fail(errno);
}

int posix_startup(std::uint16_t) { return 0; }

}  // namespace

ConnectCall& connect_call() {
    static ConnectCall call = ::connect;
    return call;
}

const NetApi& net_platform_api() {
    static const NetApi api{posix_socket,  posix_ioctlsocket,  posix_inet_addr, posix_htons,
                            posix_connect, posix_select_write, posix_send,      posix_last_error,
                            posix_shutdown, posix_closesocket, posix_startup,   posix_select_read,
                            posix_recv};
    return api;
}

}  // namespace kr::transport
