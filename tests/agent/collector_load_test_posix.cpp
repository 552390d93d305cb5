// The agent program replaying a large capture to a collector that misbehaves:
// one that is killed and restarted many times on the same port, and one that
// reads very slowly. Every DNS message carries its sequence number in its
// question name, so the collector can tell exactly what arrived, twice, out
// of order or never, and where the missing ones were lost:
// - in socket buffers: between the last record of a killed connection and
//   the first record of the next one (bytes the agent had handed to its
//   socket when the collector died);
// - by the queue, which drops its oldest records when full: a gap inside one
//   connection, or after the resent message at the start of a new one.
// RESTART_TEST_MESSAGES, RESTART_TEST_RESTARTS, RESTART_TEST_PER_CONNECTION
// and RESTART_TEST_HANG_EVERY (every n-th restart is a hang rather than a
// kill) make the restart run longer.
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

namespace {

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

int env_number(const char* name, int fallback) {
    const char* text = std::getenv(name);
    return text != nullptr && std::atoi(text) > 0 ? std::atoi(text) : fallback;
}

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// A capture of `count` DNS queries, query i asking for "q<i>.load.test".
void write_capture(const std::string& path, int count) {
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
long sequence_of(const Bytes& m) {
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

TEST(CollectorLoad, RestartedCollectorGetsWholeOrderedRecordsAndTheResentMessageFirst) {
    // A hang lets the agent fill its socket buffers first (up to 4 MB on
    // loopback, some 65000 records) before its send times out: the capture
    // must outlast that, or the agent would be left waiting for data.
    const int total = env_number("RESTART_TEST_MESSAGES", 150000);
    const int restarts = env_number("RESTART_TEST_RESTARTS", 3);
    const int per_connection = env_number("RESTART_TEST_PER_CONNECTION", 5000);
    const int hang_every = env_number("RESTART_TEST_HANG_EVERY", 2);
    kr::test::TempDir dir;
    write_capture(dir.file("load.pcap"), total);

    Collector collector;
    collector.listen(64 * 1024);
    AgentProcess agent(dir);
    agent.start("logging on\ntarget 127.0.0.1:" + std::to_string(collector.port()) + " 1\ncapture file:" +
                dir.file("load.pcap") + "\n");

    Tally tally(total);
    double longest_reconnect = 0;
    int hard_kills = 0, stalls = 0, resent_checked = 0;
    long last_complete_before = -1;  // stall restarts: the message in hand comes next
    bool expect_exact_resend = false;
    Clock::time_point killed = Clock::now();
    for (int connection = 0; connection <= restarts; ++connection) {
        SCOPED_TRACE("connection " + std::to_string(connection));
        ASSERT_TRUE(collector.accept(connection == 0 ? 10000 : 15000)) << "the agent did not come back";
        if (connection > 0) longest_reconnect = std::max(longest_reconnect, seconds_since(killed));
        std::vector<Bytes> records;
        std::size_t taken = 0;
        long events = 0;
        const bool last = connection == restarts;
        auto deadline = Clock::now() + std::chrono::seconds(last ? 120 : 60);
        bool open = true;
        while (open && Clock::now() < deadline) {
            open = collector.read(records, 100) >= 0;
            for (; taken < records.size(); ++taken) {
                if (taken == 0) {
                    ASSERT_EQ(kHello, records[0]) << "the connection does not open with the hello";
                    continue;
                }
                const long seq = sequence_of(records[taken]);
                if (events == 0 && expect_exact_resend) {
                    EXPECT_EQ(last_complete_before + 1, seq) << "the message in hand is not resent first";
                    ++resent_checked;
                }
                if (events == 0 && connection > 0) {
                    EXPECT_GT(seq, tally.last) << "the first message of a new connection is an old one";
                }
                tally.add(seq, events == 0 && connection > 0);
                ++events;
            }
            if (last && tally.last == total - 1) break;
            if (!last && events >= per_connection) break;
        }
        ASSERT_TRUE(agent.alive()) << "the agent ended";
        if (last) break;
        ASSERT_GE(events, per_connection) << "the stream stalled";

        if ((connection + 1) % hang_every != 0) {
            // Killed: whatever is in flight is lost with the connection.
            collector.close_connection(true);
            ++hard_kills;
            expect_exact_resend = false;
        } else {
            // Hung, then killed: the agent's send times out with a message in
            // hand; everything it had handed to its socket still arrives.
            const int failures = agent.count_lines("ERROR - Send data to");
            const auto hang_until = Clock::now() + std::chrono::seconds(5);
            while (agent.count_lines("ERROR - Send data to") == failures && Clock::now() < hang_until) usleep(20000);
            while (collector.read(records, 300) > 0) {
            }
            for (; taken < records.size(); ++taken) tally.add(sequence_of(records[taken]), false);
            last_complete_before = tally.last;
            collector.close_connection(false);
            ++stalls;
            expect_exact_resend = true;
        }
        killed = Clock::now();
        collector.close_listener();
        usleep(200000);
        collector.listen(64 * 1024);
    }
    EXPECT_EQ(0, agent.stop()) << "the agent did not stop normally";

    const long missing = tally.missing();
    std::printf("restarts %d (%d killed, %d hung), messages %d, records %ld, duplicates %ld, missing %ld "
                "(socket buffers %ld, queue %ld), resends checked %d, longest reconnect %.1f s\n",
                hard_kills + stalls, hard_kills, stalls, total, tally.records, tally.duplicates, missing,
                tally.socket_lost, tally.queue_lost, resent_checked, longest_reconnect);
    EXPECT_EQ(0, tally.bad) << "records that are no message of the capture";
    EXPECT_EQ(0, tally.duplicates);
    EXPECT_EQ(total - 1, tally.last) << "the newest message never arrived";
    EXPECT_EQ(missing, tally.socket_lost + tally.queue_lost) << "losses not accounted for";
    // The queue holds the whole capture: nothing is dropped there.
    EXPECT_EQ(0, tally.queue_lost);
    EXPECT_EQ(stalls, resent_checked);
    // One pause of 10 s after each failure, and the time to connect.
    EXPECT_LT(longest_reconnect, 12.5);
    EXPECT_EQ(hard_kills + stalls, agent.count_lines("ERROR - Send data to"));
}

using Stats = std::map<std::string, long>;

Stats parse_stats(const std::string& line) {
    Stats out;
    std::istringstream in(line.substr(line.find(':') + 1));
    std::string pair;
    while (in >> pair) out[pair.substr(0, pair.find('='))] = std::atol(pair.c_str() + pair.find('=') + 1);
    return out;
}

// A collector that hangs until the agent's send times out, then reads part of
// what the agent had sent and dies; its successor gets the rest. The ring
// overflows meanwhile. The Stats lines must account for every message, and
// the collectors' count must be what was sent minus what the broken
// connection lost, which a Stats line written during the pause gives.
TEST(CollectorLoad, StatsLinesAccountForTheRingAndTheBrokenConnection) {
    // Some 13 MB of records: more than the socket buffers (4 MB here at most)
    // and the ring hold together. The ring holds more than the socket buffers,
    // so that the sender still has a message when they are full and times out.
    constexpr int kTotal = 200000;
    kr::test::TempDir dir;
    write_capture(dir.file("load.pcap"), kTotal);
    Collector collector;
    collector.listen(16 * 1024);
    AgentProcess agent(dir);
    agent.start("logging on\nstats-interval 1\nqueue-size 6000000\ntarget 127.0.0.1:" +
                std::to_string(collector.port()) + " 1\ncapture file:" + dir.file("load.pcap") + "\n");
    ASSERT_TRUE(collector.accept(10000));
    const auto hang_until = Clock::now() + std::chrono::seconds(60);
    while (agent.count_lines("ERROR - Send data to") == 0 && Clock::now() < hang_until) usleep(20000);
    ASSERT_EQ(1, agent.count_lines("ERROR - Send data to")) << "the send never timed out";

    std::vector<Bytes> first, second;
    while (first.size() < 1001 && collector.read(first, 500, 4096) > 0) {
    }
    collector.close_connection(true);
    collector.close_listener();
    collector.listen(16 * 1024);
    ASSERT_TRUE(collector.accept(20000)) << "the agent did not come back";
    // Until the replay is over and the ring drained: nothing more for a while.
    const std::string replayed = "Capture file " + dir.file("load.pcap") + " replayed: ";
    const auto drain_until = Clock::now() + std::chrono::seconds(60);
    while (Clock::now() < drain_until && (collector.read(second, 1000) > 0 || agent.count_lines(replayed) == 0)) {
    }
    ASSERT_EQ(0, agent.stop());
    while (collector.read(second, 1000) > 0) {
    }

    std::vector<Stats> stats;
    for (const auto& line : agent.lines("Stats: ")) stats.push_back(parse_stats(line));
    ASSERT_FALSE(stats.empty());
    const Stats& end = stats.back();
    const Stats* paused = nullptr;  // written after the break, before the new connection
    for (const Stats& s : stats) {
        if (s.at("connects") == 1 && s.at("breaks") == 1) paused = &s;
    }
    ASSERT_NE(nullptr, paused) << "no Stats line during the pause";
    ASSERT_FALSE(first.empty());
    ASSERT_FALSE(second.empty());
    EXPECT_EQ(kHello, first[0]);
    EXPECT_EQ(kHello, second[0]);
    const long received = static_cast<long>(first.size() - 1 + second.size() - 1);
    const long lost = paused->at("sent") - static_cast<long>(first.size() - 1);
    std::printf("stats at the end: events %ld, queued %ld, dropped %ld, sent %ld (%ld before the break), resent "
                "%ld; collectors got %ld, the broken connection lost %ld\n",
                end.at("events"), end.at("queued"), end.at("dropped"), end.at("sent"), paused->at("sent"),
                end.at("resent"), received, lost);

    EXPECT_EQ(kTotal, end.at("events"));
    EXPECT_EQ(0, end.at("refused"));
    EXPECT_EQ(end.at("events"), end.at("queued") + end.at("refused"));
    EXPECT_EQ(0, end.at("in_queue"));
    EXPECT_EQ(end.at("queued"), end.at("sent") + end.at("dropped") + end.at("in_queue") + end.at("in_hand"));
    EXPECT_EQ(0, end.at("in_hand"));
    EXPECT_EQ(1, paused->at("in_hand")) << "the message of the broken send, held for the next connection";
    EXPECT_GT(end.at("dropped"), 0);
    EXPECT_EQ(1, end.at("resent"));
    EXPECT_EQ(2, end.at("connects"));
    EXPECT_EQ(1, end.at("breaks"));
    EXPECT_GE(lost, 0);
    EXPECT_EQ(end.at("sent") - lost, received);
    // Against the capture itself: each message arrived once, or was dropped or lost.
    Tally tally(kTotal);
    for (std::size_t i = 1; i < first.size(); ++i) tally.add(sequence_of(first[i]), false);
    for (std::size_t i = 1; i < second.size(); ++i) tally.add(sequence_of(second[i]), false);
    EXPECT_EQ(0, tally.bad);
    EXPECT_EQ(0, tally.duplicates);
    EXPECT_EQ(end.at("dropped") + lost, tally.missing());
}

// With send-batch, a stop during the pause after a broken send: the batch
// the sender holds for the next connection is in no other count, so the last
// line counts it as in_hand and the identities hold exactly.
TEST(CollectorLoad, LastStatsLineCountsTheBatchHeldAtAStopDuringThePause) {
    constexpr int kTotal = 200000;
    kr::test::TempDir dir;
    write_capture(dir.file("load.pcap"), kTotal);
    Collector collector;
    collector.listen(16 * 1024);
    AgentProcess agent(dir);
    agent.start("logging on\nstats-interval 1\nsend-batch 65536\nqueue-size 6000000\ntarget 127.0.0.1:" +
                std::to_string(collector.port()) + " 1\ncapture file:" + dir.file("load.pcap") + "\n");
    ASSERT_TRUE(collector.accept(10000));
    const auto hang_until = Clock::now() + std::chrono::seconds(60);
    while (agent.count_lines("ERROR - Send data to") == 0 && Clock::now() < hang_until) usleep(20000);
    ASSERT_EQ(1, agent.count_lines("ERROR - Send data to")) << "the send never timed out";
    ASSERT_EQ(0, agent.stop());

    const auto lines = agent.lines("Stats: ");
    ASSERT_FALSE(lines.empty());
    const Stats end = parse_stats(lines.back());
    EXPECT_EQ(end.at("events"), end.at("queued") + end.at("refused"));
    EXPECT_EQ(end.at("queued"), end.at("sent") + end.at("dropped") + end.at("in_queue") + end.at("in_hand"));
    // The batch holds what was waiting at the failed send: one record or many,
    // as fast as the capture outran the sender (a sanitizer build may not).
    EXPECT_GE(end.at("in_hand"), 1) << "the batch of the broken send";
    EXPECT_EQ(1, end.at("breaks"));
    EXPECT_EQ(0, end.at("resent"));
}

TEST(CollectorLoad, SlowCollectorGetsTheOldestThenAGapThenTheNewestWhileMemoryStaysNearTheQueue) {
    constexpr int kTotal = 200000;
    constexpr long kQueue = 1 << 20;
    kr::test::TempDir dir;
    write_capture(dir.file("load.pcap"), kTotal);
    Collector collector;
    collector.listen(16 * 1024);
    AgentProcess agent(dir);
    agent.start("logging on\nqueue-size " + std::to_string(kQueue) + "\ntarget 127.0.0.1:" +
                std::to_string(collector.port()) + " 5\ncapture file:" + dir.file("load.pcap") + "\n");
    ASSERT_TRUE(collector.accept(10000));

    // Slowly: 2 kB every 50 ms, for 5 s and until the whole capture has been
    // replayed: capture never waits for the collector.
    const std::string replayed = "Capture file " + dir.file("load.pcap") + " replayed: " + std::to_string(kTotal) +
                                 " packets, " + std::to_string(kTotal) + " DNS messages";
    std::vector<Bytes> records;
    long peak_rss = 0;
    const auto start = Clock::now();
    bool done = false;
    while (seconds_since(start) < 30 && !(done && seconds_since(start) >= 5)) {
        ASSERT_GE(collector.read(records, 50, 2048), 0);
        peak_rss = std::max(peak_rss, agent.memory_kb().first);
        done = done || agent.count_lines(replayed) == 1;
        usleep(50000);
    }
    EXPECT_TRUE(done) << "the capture was not replayed while the collector was slow";
    const std::size_t slow_records = records.size();
    // Then at full speed until the newest message is in.
    const auto fast_until = Clock::now() + std::chrono::seconds(30);
    while (Clock::now() < fast_until && (records.empty() || sequence_of(records.back()) != kTotal - 1)) {
        ASSERT_GE(collector.read(records, 200), 0);
    }
    const long peak_hwm = agent.memory_kb().second;
    ASSERT_TRUE(agent.alive());
    EXPECT_EQ(0, agent.stop());

    ASSERT_FALSE(records.empty());
    EXPECT_EQ(kHello, records[0]);
    long previous = -1;
    int gaps = 0;
    long dropped = 0, newest_run = 0;
    for (std::size_t i = 1; i < records.size(); ++i) {
        const long seq = sequence_of(records[i]);
        ASSERT_GT(seq, previous) << "record " << i << " is out of order or no message";
        if (seq != previous + 1) {
            ++gaps;
            dropped += seq - previous - 1;
            newest_run = 0;
        }
        ++newest_run;
        previous = seq;
    }
    std::printf("slow collector: %zu records while slow, %zu in all, %d gap(s), %ld dropped, the last %ld in a "
                "row up to %ld; agent memory: VmRSS peak %ld kB, VmHWM %ld kB with a %ld kB queue\n",
                slow_records, records.size() - 1, gaps, dropped, newest_run, previous, peak_rss, peak_hwm,
                kQueue / 1024);
    EXPECT_EQ(kTotal - 1, previous) << "the newest message never arrived";
    EXPECT_GE(gaps, 1) << "nothing was dropped although the capture is much larger than the queue";
    EXPECT_EQ(kTotal, static_cast<long>(records.size() - 1) + dropped);
    // What the full queue held when the replay ended comes whole and in a
    // row (each record, length field included, is under 80 bytes).
    EXPECT_GE(newest_run, kQueue / 80);
    // The capture's records take about 13 MB; the agent holds only its queue
    // and a few MB of its own (not so under a sanitizer, whose own memory
    // dwarfs both).
    if (!kSanitized) {
        EXPECT_LT(peak_hwm, kQueue / 1024 + 12 * 1024);
    }
}

}  // namespace
