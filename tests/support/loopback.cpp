#include "support/loopback.h"

#include <algorithm>
#include <chrono>
#include <stdexcept>

namespace kr::test {
namespace {

using Clock = std::chrono::steady_clock;

int left_ms(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

LoopbackListener::LoopbackListener(std::uint16_t port)
    : listener_(loopback::kNone), connection_(loopback::kNone), port_(port) {
    listener_ = loopback::open_bound(true, &port_);
    if (listener_ == loopback::kNone) throw std::runtime_error("cannot listen on 127.0.0.1");
}

LoopbackListener::~LoopbackListener() {
    drop(false);
    loopback::close(listener_, false);
}

bool LoopbackListener::accept(int timeout_ms) {
    if (!loopback::wait_readable(listener_, timeout_ms)) return false;
    loopback::Handle next = loopback::accept(listener_);
    if (next == loopback::kNone) return false;
    drop(false);
    connection_ = next;
    return true;
}

std::size_t LoopbackListener::receive(std::uint8_t* out, std::size_t size, std::size_t n, int timeout_ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    const bool keep = size >= n;  // else every piece lands at the start of out
    std::size_t got = 0;
    while (got < n && connection_ != loopback::kNone && loopback::wait_readable(connection_, left_ms(deadline))) {
        const std::size_t room = keep ? n - got : std::min(n - got, size);
        const int r = loopback::receive(connection_, keep ? out + got : out,
                                        static_cast<int>(std::min<std::size_t>(room, 1 << 20)));
        if (r <= 0) break;
        got += static_cast<std::size_t>(r);
    }
    return got;
}

std::vector<std::uint8_t> LoopbackListener::read(std::size_t n, int timeout_ms) {
    std::vector<std::uint8_t> out(n);
    out.resize(receive(out.data(), n, n, timeout_ms));
    return out;
}

std::size_t LoopbackListener::discard(std::size_t n, int timeout_ms) {
    std::vector<std::uint8_t> scratch(1 << 16);
    return receive(scratch.data(), scratch.size(), n, timeout_ms);
}

bool LoopbackListener::peer_closed(int timeout_ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    std::uint8_t scratch[4096];
    while (connection_ != loopback::kNone && loopback::wait_readable(connection_, left_ms(deadline))) {
        if (loopback::receive(connection_, scratch, sizeof scratch) <= 0) return true;
    }
    return false;
}

void LoopbackListener::drop(bool reset) {
    if (connection_ == loopback::kNone) return;
    loopback::close(connection_, reset);
    connection_ = loopback::kNone;
}

std::uint16_t refused_port() {
    // Bound but never listening, then closed: nothing answers on that port
    // (the system does not hand it out again at once).
    std::uint16_t port = 0;
    loopback::Handle s = loopback::open_bound(false, &port);
    if (s == loopback::kNone) throw std::runtime_error("cannot bind on 127.0.0.1");
    loopback::close(s, false);
    return port;
}

void split_records(std::vector<std::uint8_t>& stream, std::vector<std::vector<std::uint8_t>>& records) {
    std::size_t at = 0;
    while (stream.size() - at >= 4) {
        const std::size_t n = (std::size_t{stream[at]} << 24) | (std::size_t{stream[at + 1]} << 16) |
                              (std::size_t{stream[at + 2]} << 8) | stream[at + 3];
        if (stream.size() - at - 4 < n) break;
        records.emplace_back(stream.begin() + static_cast<std::ptrdiff_t>(at + 4),
                             stream.begin() + static_cast<std::ptrdiff_t>(at + 4 + n));
        at += 4 + n;
    }
    stream.erase(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(at));
}

}  // namespace kr::test
