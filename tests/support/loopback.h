#pragma once
// A TCP listener on 127.0.0.1 at a port the system picks, holding one
// accepted connection at a time, for tests that need a real peer. Every wait
// is bounded by the caller's time limit.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace kr::test {

class LoopbackListener {
public:
    // On the given port, or one the system picks (0). Throws
    // std::runtime_error when no listening socket can be made.
    explicit LoopbackListener(std::uint16_t port = 0);
    ~LoopbackListener();
    LoopbackListener(const LoopbackListener&) = delete;
    LoopbackListener& operator=(const LoopbackListener&) = delete;

    std::uint16_t port() const { return port_; }
    // Waits for the next connection and makes it the current one (the
    // previous one is closed). False when none came in time.
    bool accept(int timeout_ms);
    // Reads until n bytes, the end of the stream or the time limit, whichever
    // comes first, and returns what it read.
    std::vector<std::uint8_t> read(std::size_t n, int timeout_ms);
    // Like read, but only counts the bytes (for large volumes).
    std::size_t discard(std::size_t n, int timeout_ms);
    // True when the peer ended the connection (end of stream or reset) in time.
    bool peer_closed(int timeout_ms);
    // Closes the current connection; with reset the peer sees a reset at once.
    void drop(bool reset);

private:
    // Reads until n bytes, the end of the stream or the time limit into out
    // (size bytes; when smaller than n, each piece overwrites the last).
    std::size_t receive(std::uint8_t* out, std::size_t size, std::size_t n, int timeout_ms);

    std::uintptr_t listener_;
    std::uintptr_t connection_;
    std::uint16_t port_ = 0;
};

// Moves every whole length-prefixed record at the front of stream into
// records (payload only) and leaves an unfinished one in stream.
void split_records(std::vector<std::uint8_t>& stream, std::vector<std::vector<std::uint8_t>>& records);

// A port on 127.0.0.1 where nothing listens: connections to it are refused.
std::uint16_t refused_port();

namespace loopback {
// The platform part of the listener (loopback_posix.cpp / loopback_win.cpp).
using Handle = std::uintptr_t;
constexpr Handle kNone = ~static_cast<Handle>(0);
// A socket bound to 127.0.0.1 at *port (0: the system picks), listening
// when listen is true; *port becomes its port.
Handle open_bound(bool listen, std::uint16_t* port);
bool wait_readable(Handle socket, int timeout_ms);
Handle accept(Handle listener);
// Bytes read (> 0), 0 at the end of the stream, < 0 on an error.
int receive(Handle socket, std::uint8_t* out, int size);
void close(Handle socket, bool reset);
}  // namespace loopback

}  // namespace kr::test
