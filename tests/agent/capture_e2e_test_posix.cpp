// The agent program reading real DNS traffic: the checked-in sample capture
// replayed to a loopback collector byte for byte, live capture of a real
// DNS server under dig and dnsperf, the small queue that keeps only the newest messages, and
// capture failures that leave the agent running.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <pcap/pcap.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/event_message.h"
#include "support/log_capture.h"
#include "support/loopback.h"
#include "support/pcap_file.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using Lines = std::vector<std::string>;
using Clock = std::chrono::steady_clock;

const fs::path kSample = fs::path(SOURCE_DIR) / "examples/sample-dns.pcap";
constexpr int kSamplePort = 53530;
const Bytes kHello = {0, 0, 0, 6, 1, '3', '.', '6', '.', '8'};

void write_file(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

// The agent copied into its own directory, so that its log is written there.
class Agent {
public:
    explicit Agent(const kr::test::TempDir& dir) : dir_(dir) {
        fs::create_directories(dir.file("log"));
        fs::copy_file(AGENT_PATH, dir.file("agent"), fs::copy_options::overwrite_existing);
    }
    void start(const std::string& config) {
        write_file(dir_.file("agent.conf"), config);
        process_.start({dir_.file("agent"), dir_.file("agent.conf")}, dir_.file("agent.out"), true);
    }
    int stop() {
        process_.signal(SIGTERM);
        return process_.wait_exit(10000);
    }
    int wait_exit(int timeout_ms) { return process_.wait_exit(timeout_ms); }
    Lines log() const {
        Lines out;
        std::ifstream in(dir_.file("log/dns-logger.log"));
        std::string line;
        while (std::getline(in, line)) {
            const auto at = line.find("]: ");
            out.push_back(at == std::string::npos ? line : line.substr(at + 3));
        }
        return out;
    }
    // Waits for a log line that begins with `prefix`; the line, or "".
    std::string wait_for(const std::string& prefix, int timeout_ms = 5000) const {
        const auto until = Clock::now() + std::chrono::milliseconds(timeout_ms);
        while (Clock::now() < until) {
            for (const auto& line : log()) {
                if (line.compare(0, prefix.size(), prefix) == 0) return line;
            }
            usleep(10000);
        }
        return "";
    }

private:
    const kr::test::TempDir& dir_;
    kr::test::ChildProcess process_;
};

std::string base_config(std::uint16_t collector_port) {
    return "logging on\ntarget 127.0.0.1:" + std::to_string(collector_port) + " 2\n";
}

std::uint32_t be32(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

using kr::test::event_message;

// The messages the sample must give, read from the file without the agent's
// code: the sample is little-endian pcap (ns or µs) of Ethernet frames from
// lo, IPv4 without options and IPv6 without extensions, one DNS message per
// UDP datagram or TCP segment. IPv6 clients give no message.
std::vector<Bytes> expected_sample_messages() {
    std::ifstream in(kSample, std::ios::binary);
    const std::string file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto* p = reinterpret_cast<const std::uint8_t*>(file.data());
    auto le32 = [&](std::size_t at) {
        return std::uint32_t{p[at]} | (std::uint32_t{p[at + 1]} << 8) | (std::uint32_t{p[at + 2]} << 16) |
               (std::uint32_t{p[at + 3]} << 24);
    };
    auto be16 = [](const std::uint8_t* q) { return static_cast<std::uint16_t>((q[0] << 8) | q[1]); };
    std::vector<Bytes> out;
    EXPECT_TRUE(file.size() > 24 && (le32(0) == 0xA1B23C4D || le32(0) == 0xA1B2C3D4));
    EXPECT_EQ(1u, le32(20));  // Ethernet
    for (std::size_t at = 24; at + 16 <= file.size();) {
        const std::uint32_t seconds = le32(at);
        const std::uint32_t length = le32(at + 8);
        const std::uint8_t* frame = p + at + 16;
        at += 16 + length;
        if (be16(frame + 12) != 0x0800) continue;  // the IPv6 client's packets
        const std::uint8_t* ip = frame + 14;
        const std::uint8_t* l4 = ip + 20;
        const std::size_t ip_end = be16(ip + 2);
        const bool tcp = ip[9] == 6;
        const std::uint8_t* dns = tcp ? l4 + (l4[12] >> 4) * 4 + 2 : l4 + 8;
        if (dns >= ip + ip_end) continue;  // TCP without data
        const bool to_server = be16(l4 + 2) == kSamplePort;
        const std::string a = std::to_string(ip[12]) + "." + std::to_string(ip[13]) + "." + std::to_string(ip[14]) +
                              "." + std::to_string(ip[15]);
        const std::string b = std::to_string(ip[16]) + "." + std::to_string(ip[17]) + "." + std::to_string(ip[18]) +
                              "." + std::to_string(ip[19]);
        out.push_back(event_message(seconds, to_server ? a : b, to_server ? b : a, tcp ? 1 : 0,
                                  Bytes(dns, ip + ip_end)));
    }
    return out;
}

// What the sample holds, as recorded by examples/record-sample.sh: ID-less
// summaries (tcp, QR, RCODE) of the messages in capture order.
struct Summary {
    int tcp, qr, rcode;
    bool operator==(const Summary& o) const { return tcp == o.tcp && qr == o.qr && rcode == o.rcode; }
};
Summary summarize(const Bytes& message) {
    const std::size_t dns = 5 + 1 + message[5] + 1 + message[6 + message[5]] + 1;
    return {message[dns - 1], message[dns + 2] >> 7, message[dns + 3] & 0x0F};
}

using kr::test::can_capture_on_loopback;

// Reads one length-prefixed record; empty when none came in time.
Bytes read_record(kr::test::LoopbackListener& collector, int timeout_ms) {
    const Bytes length = collector.read(4, timeout_ms);
    if (length.size() != 4) return {};
    return collector.read(be32(length.data()), timeout_ms);
}

TEST(CaptureEndToEnd, SampleReplayArrivesByteForByteInCaptureOrder) {
    const std::vector<Bytes> want = expected_sample_messages();
    // UDP NOERROR, UDP NXDOMAIN, TCP NOERROR, TCP NXDOMAIN, (IPv6 absent), UDP MX.
    const std::vector<Summary> shape = {{0, 0, 0}, {0, 1, 0}, {0, 0, 0}, {0, 1, 3}, {1, 0, 0},
                                        {1, 1, 0}, {1, 0, 0}, {1, 1, 3}, {0, 0, 0}, {0, 1, 0}};
    ASSERT_EQ(shape.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i) EXPECT_EQ(shape[i], summarize(want[i])) << i;

    // The same bytes whether the sender goes record by record or in batches.
    for (const std::string batching : {"", "send-batch 65536\n"}) {
        SCOPED_TRACE(batching);
        kr::test::TempDir dir;
        kr::test::LoopbackListener collector;
        Agent agent(dir);
        agent.start(base_config(collector.port()) + "queue-size 1048576\ncapture file:" + kSample.string() +
                    "\ncapture-port " + std::to_string(kSamplePort) + "\n" + batching);
        ASSERT_TRUE(collector.accept(5000));
        EXPECT_EQ(kHello, collector.read(kHello.size(), 5000));
        for (std::size_t i = 0; i < want.size(); ++i) EXPECT_EQ(want[i], read_record(collector, 5000)) << "record " << i;
        EXPECT_TRUE(collector.read(1, 500).empty());
        EXPECT_EQ("Capture file " + kSample.string() + " replayed: 28 packets, 12 DNS messages",
                  agent.wait_for("Capture file "));
        EXPECT_EQ(0, agent.stop());
        EXPECT_EQ("Stopped!", agent.log().back());
        const Lines log = agent.log();
        EXPECT_EQ(batching.empty() ? 0 : 1,
                  std::count(log.begin(), log.end(), "Sending batches of up to 65536 bytes"));
    }
}

// The newest records whose total size (4-byte length each) fits the queue.
std::vector<Bytes> newest_that_fit(const std::vector<Bytes>& all, std::size_t queue_size) {
    std::size_t used = 0;
    auto first = all.end();
    while (first != all.begin() && used + 4 + (first - 1)->size() <= queue_size) {
        --first;
        used += 4 + first->size();
    }
    return {first, all.end()};
}

TEST(CaptureEndToEnd, SmallQueueGivesALateCollectorOnlyTheNewestWholeMessages) {
    const std::vector<Bytes> all = expected_sample_messages();
    constexpr std::size_t kQueueSize = 400;
    const std::vector<Bytes> want = newest_that_fit(all, kQueueSize);
    ASSERT_GE(want.size(), 2u);
    ASSERT_LT(want.size(), all.size());

    // A port that refuses connections until the test starts listening on it.
    std::uint16_t port = 0;
    const auto socket = kr::test::loopback::open_bound(false, &port);
    ASSERT_NE(kr::test::loopback::kNone, socket);
    kr::test::TempDir dir;
    Agent agent(dir);
    agent.start(base_config(port) + "queue-size " + std::to_string(kQueueSize) + "\ncapture file:" +
                kSample.string() + "\ncapture-port " + std::to_string(kSamplePort) + "\n");
    ASSERT_NE("", agent.wait_for("ERROR - Connect to 127.0.0.1:" + std::to_string(port) + " failed: "));
    ASSERT_NE("", agent.wait_for("Capture file "));

    // The forwarder retries after its pause (10 s).
    ASSERT_EQ(0, listen(static_cast<int>(socket), 4));
    ASSERT_TRUE(kr::test::loopback::wait_readable(socket, 15000));
    const auto connection = kr::test::loopback::accept(socket);
    ASSERT_NE(kr::test::loopback::kNone, connection);
    auto read_exactly = [&](std::size_t n, int timeout_ms) {
        Bytes out(n);
        std::size_t got = 0;
        while (got < n && kr::test::loopback::wait_readable(connection, timeout_ms)) {
            const int r = kr::test::loopback::receive(connection, out.data() + got, static_cast<int>(n - got));
            if (r <= 0) break;
            got += static_cast<std::size_t>(r);
        }
        out.resize(got);
        return out;
    };
    EXPECT_EQ(kHello, read_exactly(kHello.size(), 5000));
    for (std::size_t i = 0; i < want.size(); ++i) {
        const Bytes length = read_exactly(4, 5000);
        ASSERT_EQ(4u, length.size());
        EXPECT_EQ(want[i], read_exactly(be32(length.data()), 5000)) << "record " << i;
    }
    EXPECT_TRUE(read_exactly(1, 500).empty());
    EXPECT_EQ(0, agent.stop());
    kr::test::loopback::close(connection, false);
    kr::test::loopback::close(socket, false);
}

// The run ends after the stop order: status 1 and one line on standard error
// naming what failed, which a supervisor sees.
TEST(CaptureEndToEnd, CaptureThatCannotOpenFailsTheSessionAndEndsTheRun) {
    kr::test::TempDir dir;
    kr::test::LoopbackListener collector;
    const std::string missing = dir.file("missing.pcap");
    // Without the right to capture, the library says so before it looks for the device.
    const std::string device_text = can_capture_on_loopback()
                                        ? "pcap_activate(nosuchdev0): nosuchdev0: No such device exists"
                                        : "pcap_activate(nosuchdev0): nosuchdev0: ";
    const std::pair<std::string, std::string> cases[] = {
        {"device:nosuchdev0", device_text},
        {"file:" + missing, "pcap_open_offline(" + missing + "): " + missing + ": No such file or directory"},
    };
    for (const auto& [capture, text] : cases) {
        fs::remove(dir.file("log/dns-logger.log"));
        Agent agent(dir);
        agent.start(base_config(collector.port()) + "queue-size 65536\ncapture " + capture + "\n");
        EXPECT_EQ(1, agent.wait_exit(10000));
        const std::string line = agent.wait_for("ERROR - ETW session failed: ");
        EXPECT_EQ(0u, line.find("ERROR - ETW session failed: OpenTrace() failed: " + text)) << line;
        EXPECT_EQ("Stopped!", agent.log().back());
        const std::string said = kr::test::read_file(dir.file("agent.out"));
        EXPECT_EQ(0u, said.find("agent: capture failed: OpenTrace() failed: " + text)) << said;
        EXPECT_EQ(1, std::count(said.begin(), said.end(), '\n')) << said;
    }
}

// --- live capture of a real DNS server ---

bool found_in_path(const std::string& program) {
    return std::system(("command -v " + program + " >/dev/null 2>&1").c_str()) == 0;
}

// A port free for both TCP and UDP on 127.0.0.1 at this moment.
std::uint16_t free_port() {
    for (int attempt = 0; attempt < 20; ++attempt) {
        std::uint16_t port = 0;
        const auto tcp = kr::test::loopback::open_bound(false, &port);
        const int udp = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(port);
        const bool udp_free = ::bind(udp, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        ::close(udp);
        kr::test::loopback::close(tcp, false);
        if (udp_free) return port;
    }
    return 0;
}

std::string run_output(const std::string& command) {
    std::string out;
    if (FILE* pipe = popen((command + " 2>&1").c_str(), "r")) {
        char buffer[512];
        while (std::fgets(buffer, sizeof buffer, pipe)) out += buffer;
        pclose(pipe);
    }
    return out;
}

// A figure of dnsperf's summary ("  Queries completed:    6000 (100.00%)"); -1 when absent.
long dnsperf_figure(const std::string& output, const std::string& name) {
    const auto at = output.find(name + ":");
    return at == std::string::npos ? -1 : std::atol(output.c_str() + at + name.size() + 1);
}

// The agent with its default capture settings (all interfaces, default
// buffer and ring) on a real unbound: a few queries by dig arrive whole and in
// order, then a real load generator at a fixed moderate rate gives two events
// per completed query, and the capture's counters agree. The rate leaves
// room for the sanitizer builds on two cores.
TEST(CaptureEndToEnd, LiveQueriesAndARealLoadAllReachTheCollector) {
    if (!found_in_path("unbound") && !fs::exists("/usr/sbin/unbound")) GTEST_SKIP() << "unbound is not installed";
    if (!found_in_path("dig") || !found_in_path("dnsperf")) GTEST_SKIP() << "dig or dnsperf is not installed";
    if (!can_capture_on_loopback()) GTEST_SKIP() << "no permission to capture on lo";

    kr::test::TempDir dir;
    const std::uint16_t port = free_port();
    ASSERT_NE(0, port);
    write_file(dir.file("unbound.conf"),
               "server:\n  interface: 127.0.0.1\n  port: " + std::to_string(port) +
                   "\n  do-ip6: no\n  do-daemonize: no\n  username: \"\"\n  chroot: \"\"\n  directory: \"" +
                   dir.path() + "\"\n  pidfile: \"\"\n  use-syslog: no\n  num-threads: 1\n"
                   "  module-config: \"iterator\"\n  access-control: 127.0.0.0/8 allow\n"
                   "  local-zone: \"example.test.\" static\n"
                   "  local-data: \"example.test. 3600 IN SOA ns.example.test. admin.example.test. 1 3600 600 86400 300\"\n"
                   "  local-data: \"www.example.test. 300 IN A 192.0.2.80\"\n"
                   "remote-control:\n  control-enable: no\n");
    kr::test::ChildProcess server;
    const std::string unbound = found_in_path("unbound") ? "unbound" : "/usr/sbin/unbound";
    server.start({unbound, "-d", "-c", dir.file("unbound.conf")}, dir.file("unbound.out"), true);
    const std::string dig = "dig +tries=1 +time=2 -p " + std::to_string(port) + " @127.0.0.1 ";
    bool ready = false;
    for (int i = 0; i < 100 && !ready; ++i) {
        ready = run_output(dig + "www.example.test A +short").find("192.0.2.80") != std::string::npos;
        if (!ready) usleep(100000);
    }
    ASSERT_TRUE(ready) << run_output("cat " + dir.file("unbound.out"));

    kr::test::LoopbackListener collector;
    Agent agent(dir);
    agent.start(base_config(collector.port()) + "stats-interval 1\ncapture-port " + std::to_string(port) + "\n");
    EXPECT_EQ("Capture opened: device:any, port " + std::to_string(port) +
                  ", buffer 67108864 bytes, snap length 262144, block time-out 10 ms",
              agent.wait_for("Capture opened: "));
    ASSERT_NE("", agent.wait_for("Entering ETW trace processing loop..."));
    ASSERT_TRUE(collector.accept(5000));
    EXPECT_EQ(kHello, collector.read(kHello.size(), 5000));

    EXPECT_NE(std::string::npos, run_output(dig + "www.example.test A").find("status: NOERROR"));
    EXPECT_NE(std::string::npos, run_output(dig + "missing.example.test A").find("status: NXDOMAIN"));
    EXPECT_NE(std::string::npos, run_output(dig + "+tcp www.example.test A").find("status: NOERROR"));

    const std::vector<Summary> shape = {{0, 0, 0}, {0, 1, 0}, {0, 0, 0}, {0, 1, 3}, {1, 0, 0}, {1, 1, 0}};
    const auto now = static_cast<std::uint32_t>(std::time(nullptr));
    std::vector<Bytes> got;
    for (std::size_t i = 0; i < shape.size(); ++i) {
        Bytes record = read_record(collector, 5000);
        ASSERT_FALSE(record.empty()) << "record " << i << " did not come";
        got.push_back(record);
    }
    for (std::size_t i = 0; i < got.size(); ++i) {
        const Bytes& m = got[i];
        EXPECT_EQ(shape[i], summarize(m)) << i;
        EXPECT_LE(now - be32(m.data() + 1), 30u) << i;
        const Bytes head = event_message(0, "127.0.0.1", "127.0.0.1", static_cast<std::uint8_t>(shape[i].tcp), {});
        EXPECT_TRUE(std::equal(head.begin() + 5, head.end(), m.begin() + 5)) << i;
        // A response answers its query: same DNS ID.
        if (i % 2 == 1) {
            EXPECT_TRUE(std::equal(m.begin() + 26, m.begin() + 28, got[i - 1].begin() + 26)) << i;
        }
    }
    EXPECT_TRUE(collector.read(1, 300).empty());

    std::string queries;  // three names in ten do not exist
    for (int i = 0; i < 10; ++i) queries += (i < 3 ? "missing" + std::to_string(i) : "www") + ".example.test A\n";
    write_file(dir.file("queries.txt"), queries);
    kr::test::ChildProcess load;
    load.start({"dnsperf", "-s", "127.0.0.1", "-p", std::to_string(port), "-d", dir.file("queries.txt"), "-l", "4",
                "-Q", "2000", "-c", "1"},
               dir.file("dnsperf.out"), true);
    std::vector<Bytes> records;
    std::size_t events = 0;
    Bytes stream;
    // Until dnsperf is done and nothing more arrives for two seconds (a minute at most).
    const auto give_up = Clock::now() + std::chrono::seconds(60);
    for (auto quiet = Clock::now(); Clock::now() - quiet < std::chrono::seconds(2) && Clock::now() < give_up;) {
        const Bytes chunk = collector.read(1 << 16, 200);
        if (!chunk.empty() || load.alive()) quiet = Clock::now();
        stream.insert(stream.end(), chunk.begin(), chunk.end());
        kr::test::split_records(stream, records);
        events += records.size();
        records.clear();
    }
    const std::string report = kr::test::read_file(dir.file("dnsperf.out"));
    const long completed = dnsperf_figure(report, "Queries completed");
    ASSERT_GT(completed, 1000) << report;
    EXPECT_EQ(0, dnsperf_figure(report, "Queries lost")) << report;
    EXPECT_EQ(static_cast<std::size_t>(2 * completed), events) << report;
    EXPECT_EQ(0, agent.stop());
    const Lines log = agent.log();
    const auto last = std::find_if(log.rbegin(), log.rend(), [](const std::string& l) { return l.rfind("Stats:", 0) == 0; });
    ASSERT_NE(log.rend(), last);
    // Every message of the run was read once and sent; neither the capture nor the ring lost one.
    const kr::test::Stats s = kr::test::parse_stats(*last);
    EXPECT_EQ(got.size() + events, s.at("dns_messages")) << *last;
    EXPECT_EQ(got.size() + events, s.at("sent")) << *last;
    EXPECT_EQ(0u, s.at("kernel_drops") + s.at("dropped")) << *last;
    server.signal(SIGTERM);
    EXPECT_NE(-1, server.wait_exit(5000));
}

}  // namespace
