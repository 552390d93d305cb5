// Sends COUNT DNS queries over UDP from 127.0.0.1 to 127.0.0.1:PORT at RATE
// packets a second, in sendmmsg batches, to a socket of its own bound on PORT
// that nobody reads (what it cannot hold the kernel drops after every
// capture has seen the packet). Usage: bench_dns_flood PORT COUNT RATE.
// bench/live-capture.sh runs it to compare the agent's CPU with tcpdump's.
// Prints what it sent, the time it took and the rate it reached.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr unsigned kBatch = 64;

std::int64_t now_ns() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return std::int64_t{t.tv_sec} * 1000000000 + t.tv_nsec;
}

// www.example.test A IN, recursion desired; the ID is set per packet.
std::vector<std::uint8_t> query() {
    std::vector<std::uint8_t> q = {0, 0, 0x01, 0x00, 0, 1, 0, 0, 0, 0, 0, 0};
    for (const char* label : {"www", "example", "test"}) {
        q.push_back(static_cast<std::uint8_t>(std::strlen(label)));
        q.insert(q.end(), label, label + std::strlen(label));
    }
    q.insert(q.end(), {0, 0, 1, 0, 1});
    return q;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s PORT COUNT RATE\n", argv[0]);
        return 2;
    }
    const auto port = static_cast<std::uint16_t>(std::atoi(argv[1]));
    const std::uint64_t count = std::strtoull(argv[2], nullptr, 10);
    const double rate = std::atof(argv[3]);
    if (port == 0 || count == 0 || rate <= 0) {
        std::fprintf(stderr, "%s: PORT, COUNT and RATE must be positive\n", argv[0]);
        return 2;
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int sink = socket(AF_INET, SOCK_DGRAM, 0);
    const int out = socket(AF_INET, SOCK_DGRAM, 0);
    if (sink < 0 || out < 0 || bind(sink, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0 ||
        connect(out, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        std::perror("socket");
        return 1;
    }
    const std::vector<std::uint8_t> base = query();
    std::vector<std::vector<std::uint8_t>> packets(kBatch, base);
    std::vector<iovec> iov(kBatch);
    std::vector<mmsghdr> messages(kBatch);
    for (unsigned i = 0; i < kBatch; ++i) {
        iov[i] = {packets[i].data(), packets[i].size()};
        messages[i] = mmsghdr{};
        messages[i].msg_hdr.msg_iov = &iov[i];
        messages[i].msg_hdr.msg_iovlen = 1;
    }
    const std::int64_t start = now_ns();
    std::uint64_t sent = 0;
    while (sent < count) {
        // Paced per batch: the batch goes when the rate says its first packet is due.
        const std::int64_t due = start + static_cast<std::int64_t>(static_cast<double>(sent) * 1e9 / rate);
        if (due > now_ns()) {
            timespec t{static_cast<time_t>(due / 1000000000), static_cast<long>(due % 1000000000)};
            clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, nullptr);
        }
        const unsigned n = static_cast<unsigned>(count - sent < kBatch ? count - sent : kBatch);
        for (unsigned i = 0; i < n; ++i) {
            const auto id = static_cast<std::uint16_t>(sent + i);
            packets[i][0] = static_cast<std::uint8_t>(id >> 8);
            packets[i][1] = static_cast<std::uint8_t>(id);
        }
        const int done = sendmmsg(out, messages.data(), n, 0);
        if (done < 0) {
            std::perror("sendmmsg");
            return 1;
        }
        sent += static_cast<unsigned>(done);
    }
    const double seconds = static_cast<double>(now_ns() - start) / 1e9;
    std::printf("sent %llu packets in %.3f s: %.0f packets/s\n", static_cast<unsigned long long>(sent), seconds,
                static_cast<double>(sent) / seconds);
    close(out);
    close(sink);
    return 0;
}
