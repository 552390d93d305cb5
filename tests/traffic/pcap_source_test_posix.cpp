// The libpcap event source: file replays (pcap in both time units, pcapng),
// the failures of opening, live capture on loopback with its waits, and on a
// veth pair between two network namespaces.
#include "traffic/pcap_source.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pcap/pcap.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <ctime>
#include <fstream>
#include <memory>
#include <random>
#include <sched.h>
#include <string>
#include <thread>
#include <vector>

#include "capture/decoder.h"
#include "capture/etw_session.h"
#include "capture/tdh_api.h"
#include "error/error.h"
#include "substitute/tdh_substitute.h"
#include "support/event_message.h"
#include "support/frames.h"
#include "support/log_capture.h"
#include "support/pcap_file.h"

namespace kr::traffic {
using kr::substitute::EventSource;
using kr::substitute::tdh_substitute_api;

using kr::capture::EtwSession;
using kr::capture::TdhApi;
using kr::capture::decode_event;
using kr::capture::tdh_api;

namespace {

using kr::test::Bytes;
using kr::test::Endpoint;
namespace frames = kr::test;
using Clock = std::chrono::steady_clock;

const Endpoint kClient{frames::ipv4_address(192, 0, 2, 10), 40000};
const Endpoint kServer{frames::ipv4_address(192, 0, 2, 1), 53};
const Endpoint kClient6{frames::ipv6_address({0x2001, 0xdb8, 0, 0, 0, 0, 0, 0x10}), 40000};
const Endpoint kServer6{frames::ipv6_address({0x2001, 0xdb8, 0, 0, 0, 0, 0, 1}), 53};

using kr::test::event_message;

// Decodes records as the session would, collecting the event messages.
class Decoding {
public:
    Decoding() : saved_(tdh_api()) {
        tdh_api() = tdh_substitute_api();
        session_.message_callback = collect;
        session_.callback_context = &messages;
    }
    ~Decoding() { tdh_api() = saved_; }
    // Reads the source until it has nothing more at once; the number of records.
    int drain(EventSource& source) {
        int records = 0;
        while (const EVENT_RECORD* record = source.next(0)) {
            decode(record);
            ++records;
        }
        return records;
    }
    void decode(const EVENT_RECORD* record) { decode_event(session_, record); }
    std::vector<Bytes> messages;

private:
    static int collect(const std::uint8_t* data, std::uint32_t length, void* context) {
        static_cast<std::vector<Bytes>*>(context)->emplace_back(data, data + length);
        return 0;
    }
    TdhApi saved_;
    EtwSession session_;
};

std::string error_text(ULONG code) { return kr::error::system_error_text(static_cast<std::int32_t>(code)); }

using kr::test::can_capture_on_loopback;

TEST(PcapSource, ReplaysANanosecondFileOnceAsEventMessages) {
    kr::test::TempDir dir;
    const std::string path = dir.file("traffic.pcap");
    const Bytes query = frames::dns_message(1, false, 0);
    const Bytes nxdomain = frames::dns_message(1, true, 3, "nothere.example");
    const Bytes q2 = frames::dns_message(2, false, 0, "a.example");
    const Bytes q3 = frames::dns_message(3, false, 0, "b.example");
    const Bytes answer = frames::dns_message(3, true, 0, "b.example");
    Endpoint web = kServer;
    web.port = 80;
    {
        kr::test::PcapFileWriter file(path, link_type::kEthernet, true);
        file.write(1700000000, 999999999, frames::ethernet(frames::udp_packet(kClient, kServer, query)));
        file.write(1700000001, 0, frames::ethernet(frames::tcp_packet(kClient, web, Bytes(40, 'x'))));
        file.write(1700000001, 5, frames::ethernet(frames::udp_packet(kServer, kClient, nxdomain)));
        file.write(1700000002, 0, frames::ethernet(frames::tcp_packet(kClient, kServer, frames::tcp_stream({q2, q3}))));
        file.write(1700000003, 0, frames::ethernet(frames::udp_packet(kClient6, kServer6, query)));
        // Cut by the snapshot length: skipped, the replay goes on.
        file.write(1700000004, 0, frames::ethernet(frames::udp_packet(kClient, kServer, query)), 50);
        file.write(1700000005, 0, frames::ethernet(frames::tcp_packet(kServer, kClient, frames::tcp_stream({answer}))));
        // A message split across segments: both parts are skipped.
        Bytes split = frames::tcp_stream({answer});
        file.write(1700000006, 0, frames::ethernet(frames::tcp_packet(kServer, kClient, Bytes(split.begin(), split.end() - 5))));
        file.write(1700000006, 1, frames::ethernet(frames::tcp_packet(kServer, kClient, Bytes(split.end() - 5, split.end()))));
    }
    kr::test::LogCapture log;
    PcapEventSource source("file:" + path, 53);
    ASSERT_EQ(ERROR_SUCCESS, source.open());
    Decoding decoding;
    // The IPv6 query is an event too; the decoder drops it.
    EXPECT_EQ(6, decoding.drain(source));
    const std::vector<Bytes> want = {
        event_message(1700000000, "192.0.2.10", "192.0.2.1", 0, query),
        event_message(1700000001, "192.0.2.10", "192.0.2.1", 0, nxdomain),
        event_message(1700000002, "192.0.2.10", "192.0.2.1", 1, q2),
        event_message(1700000002, "192.0.2.10", "192.0.2.1", 1, q3),
        event_message(1700000005, "192.0.2.10", "192.0.2.1", 1, answer),
    };
    EXPECT_EQ(want, decoding.messages);
    EXPECT_EQ(9u, source.packets());
    EXPECT_EQ(6u, source.events());
    // The web packet and the cut frame; both segments of the split message.
    EXPECT_EQ(2u, source.not_dns());
    EXPECT_EQ(2u, source.tcp_skipped());
    EXPECT_EQ(0u, source.kernel_drops());
    EXPECT_EQ((std::vector<std::string>{"Capture opened: file:" + path + ", port 53",
                                        "Capture file " + path + " replayed: 9 packets, 6 DNS messages"}),
              log.messages());

    // After the end nothing more comes, and a wait lasts its time.
    const auto start = Clock::now();
    EXPECT_EQ(nullptr, source.next(150));
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(140));
    EXPECT_EQ(2u, log.messages().size());

    // A new open replays from the start.
    ASSERT_EQ(ERROR_SUCCESS, source.open());
    decoding.messages.clear();
    EXPECT_EQ(6, decoding.drain(source));
    EXPECT_EQ(want, decoding.messages);
}

TEST(PcapSource, ReadsMicrosecondPcapAndPcapngFiles) {
    kr::test::TempDir dir;
    const Bytes query = frames::dns_message(9, false, 0);
    const Bytes answer = frames::dns_message(9, true, 0);
    const Bytes ip_query = frames::udp_packet(kClient, kServer, query);
    const Bytes ip_answer = frames::udp_packet(kServer, kClient, answer);
    const std::vector<Bytes> want = {event_message(1600000000, "192.0.2.10", "192.0.2.1", 0, query),
                                     event_message(1600000000, "192.0.2.10", "192.0.2.1", 0, answer)};
    {
        kr::test::PcapFileWriter file(dir.file("micro.pcap"), link_type::kLinuxSll2, false);
        file.write(1600000000, 999999, frames::linux_sll2(ip_query));
        file.write(1600000000, 1, frames::linux_sll2(ip_answer));
    }
    kr::test::write_pcapng(dir.file("raw.pcapng"), link_type::kRawFile, 1600000000, {ip_query, ip_answer});
    for (const char* name : {"micro.pcap", "raw.pcapng"}) {
        kr::test::LogCapture log;
        PcapEventSource source(std::string("file:") + dir.file(name), 53);
        ASSERT_EQ(ERROR_SUCCESS, source.open()) << name;
        Decoding decoding;
        EXPECT_EQ(2, decoding.drain(source)) << name;
        EXPECT_EQ(want, decoding.messages) << name;
    }
    // Sub-second digits reach the event's time stamp (a micro file read as nanoseconds).
    PcapEventSource source(std::string("file:") + dir.file("micro.pcap"), 53);
    ASSERT_EQ(ERROR_SUCCESS, source.open());
    const EVENT_RECORD* record = source.next(0);
    ASSERT_NE(nullptr, record);
    EXPECT_EQ(capture_time_to_event_time(1600000000, 999999000), record->EventHeader.TimeStamp.QuadPart);
}

TEST(PcapSource, OpenFailuresCarryTheCallAndTheLibrarysText) {
    kr::test::TempDir dir;
    const std::string missing = dir.file("missing.pcap");
    PcapEventSource no_file("file:" + missing, 53);
    EXPECT_EQ("pcap_open_offline(" + missing + "): " + missing + ": No such file or directory",
              error_text(no_file.open()));
    // Nothing to read, and no failure either.
    EXPECT_EQ(nullptr, no_file.next(0));

    const std::string text = dir.file("notes.txt");
    std::ofstream(text) << "not a capture file at all\n";
    PcapEventSource not_capture("file:" + text, 53);
    EXPECT_EQ("pcap_open_offline(" + text + "): unknown file format", error_text(not_capture.open()));

    PcapEventSource no_device("device:nosuchdev0", 53);
    const std::string device_error = error_text(no_device.open());
    EXPECT_EQ(0u, device_error.find("pcap_activate(nosuchdev0): nosuchdev0: ")) << device_error;
    // Without the right to capture, the library says so before it looks for the device.
    if (can_capture_on_loopback()) {
        EXPECT_NE(std::string::npos, device_error.find("No such device")) << device_error;
    }
}

// A UDP socket on 127.0.0.1 at a port the system picks.
struct UdpSocket {
    UdpSocket() {
        fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        socklen_t size = sizeof a;
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size);
        port = ntohs(a.sin_port);
    }
    ~UdpSocket() { close(fd); }
    void send_to(std::uint16_t to, const Bytes& data) const {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(to);
        sendto(fd, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
    int fd;
    std::uint16_t port = 0;
};

// Reads what a live source delivers within `ms` after the last record.
std::vector<Bytes> live_messages(PcapEventSource& source, std::size_t want, int ms) {
    Decoding decoding;
    const auto until = Clock::now() + std::chrono::seconds(5);
    while (decoding.messages.size() < want && Clock::now() < until) {
        if (const EVENT_RECORD* record = source.next(100)) decoding.decode(record);
    }
    // Anything more (a duplicate, the other port's datagram) would come right behind.
    while (const EVENT_RECORD* record = source.next(static_cast<std::uint32_t>(ms))) decoding.decode(record);
    return decoding.messages;
}

TEST(PcapSource, LiveCaptureSeesEachLoopbackQueryOnce) {
    if (!can_capture_on_loopback()) GTEST_SKIP() << "no permission to capture on lo";
    UdpSocket server, client;
    const Bytes query = frames::dns_message(77, false, 0, "live.example");
    const Bytes tail = event_message(0, "127.0.0.1", "127.0.0.1", 0, query);
    // lo gives Ethernet frames, any gives cooked ones (and must not count lo twice).
    for (const char* device : {"device:lo", "device:any"}) {
        PcapEventSource source(device, server.port);
        ASSERT_EQ(ERROR_SUCCESS, source.open()) << device;
        client.send_to(server.port, query);
        client.send_to(static_cast<std::uint16_t>(server.port + 1), query);  // another port: filtered out
        const std::vector<Bytes> got = live_messages(source, 1, 300);
        ASSERT_EQ(1u, got.size()) << device;
        const Bytes& m = got[0];
        const auto now = static_cast<std::uint32_t>(std::time(nullptr));
        const std::uint32_t time = (std::uint32_t{m[1]} << 24) | (std::uint32_t{m[2]} << 16) | (m[3] << 8) | m[4];
        EXPECT_LE(now - time, 10u) << device;
        EXPECT_EQ(Bytes(tail.begin() + 5, tail.end()), Bytes(m.begin() + 5, m.end())) << device;
    }
}

TEST(PcapSource, LiveWaitsEndAtTheirLimitOrAtOnceOnAWake) {
    if (!can_capture_on_loopback()) GTEST_SKIP() << "no permission to capture on lo";
    UdpSocket server;
    PcapEventSource source("device:lo", server.port);
    ASSERT_EQ(ERROR_SUCCESS, source.open());
    auto start = Clock::now();
    EXPECT_EQ(nullptr, source.next(200));
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(190));
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1500));

    std::thread waker([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        source.wake();
    });
    start = Clock::now();
    EXPECT_EQ(nullptr, source.next(10000));
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(2000));
    waker.join();

    // A wake that came while nobody waited ends the next wait; only that one.
    source.wake();
    start = Clock::now();
    EXPECT_EQ(nullptr, source.next(10000));
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1000));
    start = Clock::now();
    EXPECT_EQ(nullptr, source.next(150));
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(140));
}

// Two network namespaces made with ip(8) and joined by a veth pair: the
// server's end kr-vs (192.0.2.1) and the client's kr-vc (192.0.2.2), with fixed
// neighbours and IPv6 off, so that nothing but the test's datagrams crosses.
struct VethPair {
    const std::string server = "krt-s-" + std::to_string(getpid()), client = "krt-c-" + std::to_string(getpid());
    std::string failure;  // the step that failed: namespaces are not to be had here

    VethPair() {
        const std::string s = "ip -n " + server + " ", c = "ip -n " + client + " ";
        const std::string no_ipv6 = " sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1";
        for (const std::string& step :
             {"ip netns add " + server, "ip netns add " + client, "ip netns exec " + server + no_ipv6,
              "ip netns exec " + client + no_ipv6,
              "ip link add kr-vs address 02:00:00:00:00:01 netns " + server +
                  " type veth peer name kr-vc address 02:00:00:00:00:02 netns " + client,
              s + "addr add 192.0.2.1/24 dev kr-vs", c + "addr add 192.0.2.2/24 dev kr-vc", s + "link set kr-vs up",
              c + "link set kr-vc up", s + "neigh add 192.0.2.2 lladdr 02:00:00:00:00:02 dev kr-vs nud permanent",
              c + "neigh add 192.0.2.1 lladdr 02:00:00:00:00:01 dev kr-vc nud permanent"}) {
            if (std::system((step + " > /dev/null 2>&1").c_str()) != 0) {
                failure = step;
                return;
            }
        }
    }
    ~VethPair() {
        for (const std::string& name : {server, client}) std::system(("ip netns del " + name + " 2>/dev/null").c_str());
    }
    // Runs f on a thread of its own inside the namespace: what it opens stays there.
    static void in(const std::string& name, const std::function<void()>& f) {
        std::thread([&] {
            const int ns = open(("/var/run/netns/" + name).c_str(), O_RDONLY | O_CLOEXEC);
            ASSERT_TRUE(ns >= 0 && setns(ns, CLONE_NEWNET) == 0) << name;
            close(ns);
            f();
        }).join();
    }
    // Packets received and sent on kr-vs, as the kernel counts them.
    std::uint64_t server_packets() const {
        const std::string statistics = " /sys/class/net/kr-vs/statistics/";
        FILE* out = popen(("ip netns exec " + server + " cat" + statistics + "rx_packets" + statistics + "tx_packets")
                              .c_str(), "r");
        unsigned long long rx = 0, tx = 0;
        EXPECT_TRUE(out != nullptr && std::fscanf(out, "%llu %llu", &rx, &tx) == 2);
        if (out != nullptr) pclose(out);
        return rx + tx;
    }
};

// A UDP socket bound to address:port (0: any port), in the calling thread's namespace.
int udp_socket(const char* address, std::uint16_t port) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, address, &a.sin_addr);
    EXPECT_EQ(0, bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a)) << address;
    const timeval limit{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    return fd;
}

// On an interface other than lo, the server's answers go out and must be kept
// as its queries are; packets plus kernel drops are what the kernel passed to
// the capture, checked with a 1 MiB ring (a buffer of 1 raised to it) that a
// burst overflows; and a capture whose kernel filter cannot be set goes on.
TEST(PcapSource, VethKeepsQueriesAndAnswersAndCountsWhatTheKernelSaw) {
    if (!can_capture_on_loopback()) GTEST_SKIP() << "no permission to capture";
    VethPair veth;
    if (!veth.failure.empty()) GTEST_SKIP() << "network namespaces not allowed here: " << veth.failure;
    kr::test::LogCapture log;
    std::unique_ptr<PcapEventSource> source;
    int server = -1, client = -1;
    VethPair::in(veth.server, [&] {
        source = std::make_unique<PcapEventSource>("device:kr-vs", 53, 1);
        ASSERT_EQ(ERROR_SUCCESS, source->open());
        server = udp_socket("192.0.2.1", 53);
    });
    VethPair::in(veth.client, [&] { client = udp_socket("192.0.2.2", 0); });
    ASSERT_TRUE(source && server >= 0 && client >= 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(53);
    inet_pton(AF_INET, "192.0.2.1", &to.sin_addr);
    auto send_query = [&](std::uint16_t id) {
        const Bytes query = frames::dns_message(id, false, 0, "veth.example");
        sendto(client, query.data(), query.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    };
    Bytes expected;  // the event messages from the client's text on, one after the other
    for (std::uint16_t id = 1; id <= 20; ++id) {
        send_query(id);
        Bytes in(512);
        sockaddr_in from{};
        socklen_t from_size = sizeof from;
        ASSERT_GT(recvfrom(server, in.data(), in.size(), 0, reinterpret_cast<sockaddr*>(&from), &from_size), 0);
        const Bytes answer = frames::dns_message(id, true, 0, "veth.example");
        sendto(server, answer.data(), answer.size(), 0, reinterpret_cast<sockaddr*>(&from), from_size);
        for (const Bytes& dns : {frames::dns_message(id, false, 0, "veth.example"), answer}) {
            const Bytes m = event_message(0, "192.0.2.2", "192.0.2.1", 0, dns);
            expected.insert(expected.end(), m.begin() + 5, m.end());
        }
    }
    Bytes got;
    for (const Bytes& m : live_messages(*source, 40, 300)) got.insert(got.end(), m.begin() + 5, m.end());
    EXPECT_EQ(expected, got);

    for (std::uint16_t id = 0; id < 20000; ++id) send_query(id);
    Decoding decoding;
    while (const EVENT_RECORD* record = source->next(300)) decoding.decode(record);
    EXPECT_GT(source->kernel_drops(), 0u);
    EXPECT_EQ(veth.server_packets(), source->packets() + source->kernel_drops());
    const std::vector<std::string> lines = log.messages();
    const std::string raised = "capture-buffer 1 raised to 1048576 bytes, the least the capture ring works with";
    EXPECT_NE(lines.end(), std::find(lines.begin(), lines.end(), raised));

    // No room for a socket filter in the namespace: the library filters in
    // user space (and says so on standard error), the capture goes on.
    VethPair::in(veth.server, [&] {
        ASSERT_EQ(0, std::system("sysctl -qw net.core.optmem_max=64"));
        source = std::make_unique<PcapEventSource>("device:kr-vs", 53);
        ASSERT_EQ(ERROR_SUCCESS, source->open());
    });
    for (std::uint16_t id = 0; id < 5; ++id) send_query(id);
    EXPECT_EQ(5u, live_messages(*source, 5, 300).size());
    const std::string filter_line = "ERROR - Capture goes on without the kernel filter";
    EXPECT_NE(std::string::npos, log.raw().find(filter_line));
    close(server);
    close(client);
}

// IPv6 texts are those the C library writes.
TEST(PcapSource, Ipv6TextsMatchTheCLibrary) {
    std::mt19937 random(7);
    char ours[kAddressTextSize];
    char theirs[INET6_ADDRSTRLEN];
    for (int i = 0; i < 20000; ++i) {
        std::uint8_t address[16];
        // Mostly zero groups, so that runs of every length and place occur.
        for (int g = 0; g < 8; ++g) {
            const std::uint16_t value = random() % 3 == 0 ? static_cast<std::uint16_t>(random()) : 0;
            address[2 * g] = static_cast<std::uint8_t>(value >> 8);
            address[2 * g + 1] = static_cast<std::uint8_t>(i % 5 == 0 ? value & 0xFF : value);
        }
        if (i % 7 == 0) {
            std::fill(address, address + 10, 0);
            address[10] = address[11] = 0xFF;
        }
        ASSERT_NE(nullptr, inet_ntop(AF_INET6, address, theirs, sizeof theirs));
        format_address(6, address, ours);
        ASSERT_STREQ(theirs, ours);
    }
}

}  // namespace
}  // namespace kr::traffic
