#pragma once
// The agent program, a collector that can be killed, hung or slowed, and the
// capture whose messages carry their sequence numbers, for the load tests.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/frames.h"
#include "support/log_capture.h"
#include "support/loopback.h"
#include "support/pcap_file.h"
#include "traffic/dns_packet.h"

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

const Bytes kHello = {1, '3', '.', '6', '.', '8'};
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
constexpr std::uint32_t kSeconds = 1700000000;

inline int env_number(const char* name, int fallback) {
    const char* text = std::getenv(name);
    return text != nullptr && std::atoi(text) > 0 ? std::atoi(text) : fallback;
}

inline double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// A capture of `count` DNS queries, query i asking for "q<i>.load.test".
inline void write_capture(const std::string& path, int count) {
    kr::test::PcapFileWriter writer(path, kr::traffic::link_type::kEthernet, false);
    const kr::test::Endpoint server{kr::test::ipv4_address(10, 0, 0, 1), 53};
    for (int i = 0; i < count; ++i) {
        const kr::test::Endpoint client{kr::test::ipv4_address(10, 1, static_cast<std::uint8_t>(i >> 8),
                                                               static_cast<std::uint8_t>(i)),
                                        static_cast<std::uint16_t>(1024 + i % 60000)};
        const Bytes dns = kr::test::dns_message(static_cast<std::uint16_t>(i), false, 0,
                                                "q" + std::to_string(i) + ".load.test");
        writer.write(kSeconds + i / 1000, static_cast<std::uint32_t>(i % 1000), kr::test::ethernet(kr::test::udp_packet(client, server, dns)));
    }
    writer.close();
}

// The sequence number of an event message, or -1 when it is not one of ours.
inline long sequence_of(const Bytes& m) {
    if (m.size() < 8 || m[0] != 2) return -1;
    std::size_t at = 6 + m[5];
    if (at >= m.size()) return -1;
    at += 1 + m[at] + 1;  // server address, transport flag
    const std::size_t name = at + 12;  // the DNS header, then the first label
    if (name + 2 > m.size() || m[name + 1] != 'q') return -1;
    long seq = 0;
    for (std::size_t i = name + 2; i < name + 1 + m[name] && i < m.size(); ++i) {
        if (m[i] < '0' || m[i] > '9') return -1;
        seq = seq * 10 + (m[i] - '0');
    }
    return seq;
}

// The agent program in a directory of its own, stopped with SIGTERM.
class AgentProcess {
public:
    explicit AgentProcess(const kr::test::TempDir& dir) : dir_(dir) {
        fs::create_directories(dir.file("log"));
        fs::copy_file(AGENT_PATH, dir.file("agent"), fs::copy_options::overwrite_existing);
    }
    void start(const std::string& config) {
        std::ofstream(dir_.file("agent.conf")) << config;
        process_.start({dir_.file("agent"), dir_.file("agent.conf")}, dir_.file("agent.out"), true);
    }
    bool alive() const { return process_.alive(); }
    // Resident and peak resident memory in kB (VmRSS, VmHWM).
    std::pair<long, long> memory_kb() const {
        std::ifstream in("/proc/" + std::to_string(process_.pid()) + "/status");
        std::string line;
        long rss = 0, hwm = 0;
        while (std::getline(in, line)) {
            if (line.rfind("VmRSS:", 0) == 0) rss = std::atol(line.c_str() + 6);
            if (line.rfind("VmHWM:", 0) == 0) hwm = std::atol(line.c_str() + 6);
        }
        return {rss, hwm};
    }
    // The exit status after SIGTERM, or -1 when it did not end in time.
    int stop(int timeout_ms = 15000) {
        process_.signal(SIGTERM);
        return process_.wait_exit(timeout_ms);
    }
    int count_lines(const std::string& prefix) const { return static_cast<int>(lines(prefix).size()); }
    // The log messages that start with prefix, in order.
    std::vector<std::string> lines(const std::string& prefix) const {
        std::ifstream in(dir_.file("log/dns-logger.log"));
        std::string line;
        std::vector<std::string> out;
        while (std::getline(in, line)) {
            const auto at = line.find("]: ");
            if (at != std::string::npos && line.compare(at + 3, prefix.size(), prefix) == 0) {
                out.push_back(line.substr(at + 3));
            }
        }
        return out;
    }

private:
    const kr::test::TempDir& dir_;
    kr::test::ChildProcess process_;
};

// A collector on 127.0.0.1 that can die and come back on the same port. The
// first listen takes a port from the system; later ones reuse it.
class Collector {
public:
    ~Collector() {
        close_connection(false);
        close_listener();
    }
    void listen(int receive_buffer = 0) {
        // Close-on-exec: the agent started later must not hold the port open.
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int on = 1;
        ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        // Inherited by the accepted connection: bounds what it holds unread.
        if (receive_buffer > 0) ::setsockopt(listener_, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port_);
        socklen_t size = sizeof address;
        ASSERT_EQ(0, ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address)) << std::strerror(errno);
        ASSERT_EQ(0, ::listen(listener_, 4));
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size);
        port_ = ntohs(address.sin_port);
    }
    std::uint16_t port() const { return port_; }
    bool accept(int timeout_ms) {
        pollfd p{listener_, POLLIN, 0};
        if (::poll(&p, 1, timeout_ms) <= 0) return false;
        connection_ = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        stream_.clear();
        return connection_ >= 0;
    }
    // Reads what arrives within timeout_ms (at most `limit` bytes) and
    // splits off the whole records. The bytes read, -1 at the end of the stream.
    long read(std::vector<Bytes>& records, int timeout_ms, std::size_t limit = 1 << 16) {
        pollfd p{connection_, POLLIN, 0};
        if (::poll(&p, 1, timeout_ms) <= 0) return 0;
        std::uint8_t buffer[1 << 16];
        const ssize_t n = ::recv(connection_, buffer, std::min(limit, sizeof buffer), 0);
        if (n <= 0) return -1;
        stream_.insert(stream_.end(), buffer, buffer + n);
        kr::test::split_records(stream_, records);
        return n;
    }
    // With reset, unread data is thrown away and the agent sees a reset, as
    // when the collector's process is killed.
    void close_connection(bool reset) {
        if (connection_ < 0) return;
        if (reset) {
            linger l{1, 0};
            ::setsockopt(connection_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        }
        ::close(connection_);
        connection_ = -1;
    }
    void close_listener() {
        if (listener_ >= 0) ::close(listener_);
        listener_ = -1;
    }

private:
    int listener_ = -1;
    int connection_ = -1;
    std::uint16_t port_ = 0;
    Bytes stream_;
};

// What the collector saw over all connections, and where messages went missing.
struct Tally {
    explicit Tally(int total) : seen(static_cast<std::size_t>(total), 0) {}
    std::vector<int> seen;
    long records = 0, duplicates = 0, socket_lost = 0, queue_lost = 0, bad = 0;
    long last = -1;  // last sequence number received on any connection

    // A record in arrival order; `first` for the first event of a new connection.
    void add(long seq, bool first) {
        if (seq < 0 || seq >= static_cast<long>(seen.size())) {
            ++bad;
            return;
        }
        ++records;
        if (seen[static_cast<std::size_t>(seq)]++) ++duplicates;
        if (first) {
            if (seq > last + 1) socket_lost += seq - last - 1;
        } else if (seq > last + 1) {
            queue_lost += seq - last - 1;
        }
        last = std::max(last, seq);
    }
    long missing() const { return static_cast<long>(std::count(seen.begin(), seen.end(), 0)); }
};
