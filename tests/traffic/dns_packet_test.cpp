#include "traffic/dns_packet.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "capture/decoder.h"
#include "support/frames.h"

namespace kr::traffic {
using kr::capture::kEpochOffset;

namespace {

using kr::test::Bytes;
using kr::test::Endpoint;
namespace frames = kr::test;

const Endpoint kClient4{frames::ipv4_address(192, 0, 2, 10), 40000};
const Endpoint kServer4{frames::ipv4_address(198, 51, 100, 1), 53};
const Endpoint kClient6{frames::ipv6_address({0x2001, 0xdb8, 0, 0, 0, 0, 0, 0x10}), 40000};
const Endpoint kServer6{frames::ipv6_address({0xfe80, 0, 0, 0, 0x1, 0, 0, 0x53}), 53};

struct Seen {
    std::uint16_t id;
    std::uint8_t tcp;
    std::string server;
    std::string client;
    Bytes message;
};

bool operator==(const Seen& a, const Seen& b) {
    return a.id == b.id && a.tcp == b.tcp && a.server == b.server && a.client == b.client && a.message == b.message;
}

std::ostream& operator<<(std::ostream& out, const Seen& s) {
    return out << "{" << s.id << " tcp=" << int(s.tcp) << " server=" << s.server << " client=" << s.client
               << " size=" << s.message.size() << "}";
}

// Every event of one frame, read from an exact-size copy so that any read
// past the end is caught by the address sanitizer.
std::vector<Seen> events_of(std::uint32_t link, const Bytes& frame, std::uint16_t port = 53) {
    std::unique_ptr<std::uint8_t[]> copy(new std::uint8_t[frame.size() ? frame.size() : 1]);
    if (!frame.empty()) std::memcpy(copy.get(), frame.data(), frame.size());
    DnsFrameReader reader;
    std::vector<Seen> out;
    if (!reader.start(link, copy.get(), frame.size(), port)) return out;
    DnsMessageEvent e;
    while (reader.next(e)) {
        EXPECT_GE(e.message, copy.get());
        EXPECT_LE(e.message + e.size, copy.get() + frame.size());
        out.push_back({e.event_id, e.tcp, std::string(e.server_ip), std::string(e.client_ip),
                       Bytes(e.message, e.message + e.size)});
    }
    return out;
}

const Bytes kQuery = frames::dns_message(0x1234, false, 0);
const Bytes kAnswer = frames::dns_message(0x1234, true, 0);
const Bytes kNxdomain = frames::dns_message(0x1234, true, 3);

TEST(DnsPacket, EveryLinkTypeGivesTheSameQueryEvent) {
    const Bytes ip = frames::udp_packet(kClient4, kServer4, kQuery);
    const Seen want{256, 0, "198.51.100.1", "192.0.2.10", kQuery};
    struct Case {
        const char* name;
        std::uint32_t link;
        Bytes frame;
    };
    const Case cases[] = {
        {"ethernet", link_type::kEthernet, frames::ethernet(ip)},
        {"802.1Q", link_type::kEthernet, frames::ethernet(ip, {0x8100})},
        {"802.1ad+802.1Q", link_type::kEthernet, frames::ethernet(ip, {0x88A8, 0x8100})},
        {"old QinQ", link_type::kEthernet, frames::ethernet(ip, {0x9100, 0x8100})},
        {"sll", link_type::kLinuxSll, frames::linux_sll(ip)},
        {"sll2", link_type::kLinuxSll2, frames::linux_sll2(ip)},
        {"raw", link_type::kRaw, ip},
        {"raw openbsd", link_type::kRawAlt, ip},
        {"raw file", link_type::kRawFile, ip},
        {"ipv4", link_type::kIpv4, ip},
        {"null little-endian", link_type::kNull, frames::bsd_loopback(ip, 2, false)},
        {"null big-endian", link_type::kNull, frames::bsd_loopback(ip, 2, true)},
        {"loop", link_type::kLoop, frames::bsd_loopback(ip, 2, true)},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(std::vector<Seen>{want}, events_of(c.link, c.frame)) << c.name;
    }
    // Ethernet padding after the IP packet is not part of the message.
    Bytes padded = frames::ethernet(ip);
    padded.insert(padded.end(), 20, 0xEE);
    EXPECT_EQ(std::vector<Seen>{want}, events_of(link_type::kEthernet, padded));
    // Link types that are not known, and IP under the wrong one, give nothing.
    EXPECT_TRUE(events_of(105, frames::ethernet(ip)).empty());
    EXPECT_TRUE(events_of(link_type::kIpv6, ip).empty());
}

TEST(DnsPacket, Ipv6GivesIpv6TextsOnEveryLinkType) {
    const Bytes ip = frames::udp_packet(kServer6, kClient6, kNxdomain);
    const Seen want{258, 0, "fe80::1:0:0:53", "2001:db8::10", kNxdomain};
    EXPECT_EQ(std::vector<Seen>{want}, events_of(link_type::kEthernet, frames::ethernet(ip, {0x8100})));
    EXPECT_EQ(std::vector<Seen>{want}, events_of(link_type::kLinuxSll2, frames::linux_sll2(ip)));
    EXPECT_EQ(std::vector<Seen>{want}, events_of(link_type::kRawFile, ip));
    EXPECT_EQ(std::vector<Seen>{want}, events_of(link_type::kIpv6, ip));
    for (std::uint32_t family : {10u, 24u, 28u, 30u}) {
        for (bool big : {false, true}) {
            EXPECT_EQ(std::vector<Seen>{want}, events_of(link_type::kNull, frames::bsd_loopback(ip, family, big)))
                << family << " " << big;
        }
    }
    EXPECT_TRUE(events_of(link_type::kNull, frames::bsd_loopback(ip, 7, false)).empty());
}

TEST(DnsPacket, DirectionAndAnswerDecideTheEvent) {
    auto one = [](const Endpoint& from, const Endpoint& to, const Bytes& dns) {
        return events_of(link_type::kRaw, frames::udp_packet(from, to, dns));
    };
    EXPECT_EQ((std::vector<Seen>{{257, 0, "198.51.100.1", "192.0.2.10", kAnswer}}), one(kServer4, kClient4, kAnswer));
    EXPECT_EQ((std::vector<Seen>{{258, 0, "198.51.100.1", "192.0.2.10", kNxdomain}}),
              one(kServer4, kClient4, kNxdomain));
    // A SERVFAIL, a REFUSED: any RCODE but 0 is a failure.
    for (std::uint8_t rcode : {2, 5, 15}) {
        auto seen = one(kServer4, kClient4, frames::dns_message(7, true, rcode));
        ASSERT_EQ(1u, seen.size());
        EXPECT_EQ(258, seen[0].id);
    }
    // A response going to the port, a query coming from it: not the server's traffic.
    EXPECT_TRUE(one(kClient4, kServer4, kAnswer).empty());
    EXPECT_TRUE(one(kServer4, kClient4, kQuery).empty());
    // Neither port is the server's.
    Endpoint other = kServer4;
    other.port = 5353;
    EXPECT_TRUE(one(kClient4, other, kQuery).empty());
    // Server to server, both on the port: the QR bit tells.
    Endpoint peer = kClient4;
    peer.port = 53;
    EXPECT_EQ(256, one(peer, kServer4, kQuery).at(0).id);
    auto back = one(kServer4, peer, kAnswer);
    ASSERT_EQ(1u, back.size());
    EXPECT_EQ(257, back[0].id);
    EXPECT_EQ("198.51.100.1", back[0].server);
    // Another port given to the reader.
    EXPECT_EQ(256, events_of(link_type::kRaw, frames::udp_packet(kClient4, other, kQuery), 5353).at(0).id);
}

TEST(DnsPacket, TcpSegmentsCarrySeveralMessagesAndDropTheCutOne) {
    const Bytes first = frames::dns_message(1, false, 0, "a.example");
    const Bytes second = frames::dns_message(2, false, 0, "bb.example");
    Bytes payload = frames::tcp_stream({first, second});
    auto seen = events_of(link_type::kEthernet, frames::ethernet(frames::tcp_packet(kClient4, kServer4, payload)));
    EXPECT_EQ((std::vector<Seen>{{256, 1, "198.51.100.1", "192.0.2.10", first},
                                 {256, 1, "198.51.100.1", "192.0.2.10", second}}),
              seen);

    // A third message cut off by the segment's end: the whole ones still count.
    Bytes cut = frames::tcp_stream({first, second, frames::dns_message(3, false, 0)});
    cut.resize(cut.size() - 5);
    EXPECT_EQ(2u, events_of(link_type::kRaw, frames::tcp_packet(kClient4, kServer4, cut)).size());
    // A lone length byte, a too-short message between two good ones.
    Bytes odd = frames::tcp_stream({first, Bytes{1, 2, 3}, second});
    odd.push_back(0);
    EXPECT_EQ(2u, events_of(link_type::kRaw, frames::tcp_packet(kClient4, kServer4, odd)).size());
    // Responses over TCP, both kinds in one segment.
    auto answers = events_of(link_type::kRaw, frames::tcp_packet(kServer4, kClient4, frames::tcp_stream({kAnswer, kNxdomain})));
    ASSERT_EQ(2u, answers.size());
    EXPECT_EQ(257, answers[0].id);
    EXPECT_EQ(258, answers[1].id);
    EXPECT_EQ(1, answers[1].tcp);
    // Segments without data (handshake, acknowledgements) give nothing.
    EXPECT_TRUE(events_of(link_type::kRaw, frames::tcp_packet(kClient4, kServer4, {})).empty());
}

TEST(DnsPacket, FragmentsAreSkipped) {
    const Bytes ip = frames::udp_packet(kClient4, kServer4, kQuery);
    for (std::uint16_t flags : {0x2000, 0x0001, 0x2010, 0x1FFF}) {  // MF; offsets; both
        Bytes frag = ip;
        frag[6] = static_cast<std::uint8_t>(flags >> 8);
        frag[7] = static_cast<std::uint8_t>(flags);
        EXPECT_TRUE(events_of(link_type::kRaw, frag).empty()) << flags;
    }
    Bytes df = ip;  // don't-fragment alone is a whole datagram
    df[6] = 0x40;
    df[7] = 0;
    EXPECT_EQ(1u, events_of(link_type::kRaw, df).size());

    // IPv6: a fragment header in front of UDP.
    const Bytes v6 = frames::udp_packet(kClient6, kServer6, kQuery);
    auto with_fragment_header = [&](std::uint16_t offset_and_flags) {
        Bytes out(v6.begin(), v6.begin() + 40);
        out[6] = 44;
        const std::uint16_t payload = static_cast<std::uint16_t>(v6.size() - 40 + 8);
        out[4] = static_cast<std::uint8_t>(payload >> 8);
        out[5] = static_cast<std::uint8_t>(payload);
        out.insert(out.end(), {17, 0, static_cast<std::uint8_t>(offset_and_flags >> 8),
                               static_cast<std::uint8_t>(offset_and_flags), 0, 0, 0, 1});
        out.insert(out.end(), v6.begin() + 40, v6.end());
        return out;
    };
    EXPECT_TRUE(events_of(link_type::kRaw, with_fragment_header(0x0001)).empty());  // more fragments
    EXPECT_TRUE(events_of(link_type::kRaw, with_fragment_header(0x0008)).empty());  // offset 1
    EXPECT_EQ(1u, events_of(link_type::kRaw, with_fragment_header(0x0000)).size());  // atomic fragment
}

TEST(DnsPacket, Ipv6ExtensionHeadersAreWalked) {
    const Bytes v6 = frames::udp_packet(kClient6, kServer6, kQuery);
    // Hop-by-hop (8 bytes) then destination options (16 bytes) before UDP.
    Bytes ip(v6.begin(), v6.begin() + 40);
    ip[6] = 0;
    ip.insert(ip.end(), {60, 0, 1, 4, 0, 0, 0, 0});
    ip.insert(ip.end(), {17, 1, 1, 12, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    ip.insert(ip.end(), v6.begin() + 40, v6.end());
    const std::size_t payload = ip.size() - 40;
    ip[4] = static_cast<std::uint8_t>(payload >> 8);
    ip[5] = static_cast<std::uint8_t>(payload);
    ASSERT_EQ(1u, events_of(link_type::kRaw, ip).size());
    // An extension whose length runs past the packet, an unknown next header.
    Bytes long_ext = ip;
    long_ext[41] = 200;
    EXPECT_TRUE(events_of(link_type::kRaw, long_ext).empty());
    Bytes unknown = ip;
    unknown[6] = 59;  // no next header
    EXPECT_TRUE(events_of(link_type::kRaw, unknown).empty());
}

// Sets a big-endian 16-bit field of a copy.
Bytes with16(Bytes b, std::size_t at, std::uint16_t value) {
    b[at] = static_cast<std::uint8_t>(value >> 8);
    b[at + 1] = static_cast<std::uint8_t>(value);
    return b;
}

TEST(DnsPacket, MalformedHeadersOfEachLayerAreSkipped) {
    const Bytes udp4 = frames::udp_packet(kClient4, kServer4, kQuery);
    const Bytes tcp4 = frames::tcp_packet(kClient4, kServer4, frames::tcp_stream({kQuery}));
    const Bytes udp6 = frames::udp_packet(kClient6, kServer6, kQuery);
    ASSERT_EQ(1u, events_of(link_type::kRaw, udp4).size());
    ASSERT_EQ(1u, events_of(link_type::kRaw, tcp4).size());
    ASSERT_EQ(1u, events_of(link_type::kRaw, udp6).size());

    struct Case {
        const char* name;
        std::uint32_t link;
        Bytes frame;
    };
    Bytes ihl_small = udp4, ihl_big = udp4, tcp_offset_small = tcp4, tcp_offset_big = tcp4, not_ip = udp4;
    ihl_small[0] = 0x44;
    ihl_big[0] = 0x4F;
    tcp_offset_small[20 + 12] = 0x40;
    tcp_offset_big[20 + 12] = 0xF0;
    not_ip[0] = 0x55;
    Bytes icmp = udp4;
    icmp[9] = 1;
    Bytes arp = frames::ethernet(udp4);
    arp[12] = 0x08;
    arp[13] = 0x06;
    Bytes short_dns = frames::udp_packet(kClient4, kServer4, Bytes(kQuery.begin(), kQuery.begin() + 11));
    const Case cases[] = {
        {"ipv4 header length under 20", link_type::kRaw, ihl_small},
        {"ipv4 header past the total length", link_type::kRaw, ihl_big},
        {"ipv4 total length under the header", link_type::kRaw, with16(udp4, 2, 19)},
        {"ipv4 total length past the capture", link_type::kRaw, with16(udp4, 2, static_cast<std::uint16_t>(udp4.size() + 1))},
        {"ip version 5", link_type::kRaw, not_ip},
        {"not udp or tcp", link_type::kRaw, icmp},
        {"udp length under 8", link_type::kRaw, with16(udp4, 24, 7)},
        {"udp length past the packet", link_type::kRaw, with16(udp4, 24, static_cast<std::uint16_t>(udp4.size() - 19))},
        {"tcp offset under 20", link_type::kRaw, tcp_offset_small},
        {"tcp offset past the segment", link_type::kRaw, tcp_offset_big},
        {"ipv6 payload past the capture", link_type::kRaw, with16(udp6, 4, static_cast<std::uint16_t>(udp6.size()))},
        {"ipv6 jumbogram", link_type::kRaw, with16(udp6, 4, 0)},
        {"ipv6 udp length 0", link_type::kRaw, with16(udp6, 44, 0)},
        {"ipv4 under ipv6 link", link_type::kIpv4, udp6},
        {"arp", link_type::kEthernet, arp},
        {"too many vlan tags", link_type::kEthernet,
         frames::ethernet(udp4, {0x8100, 0x8100, 0x8100, 0x8100, 0x8100, 0x8100, 0x8100, 0x8100, 0x8100})},
        {"dns shorter than its header", link_type::kRaw, short_dns},
    };
    for (const Case& c : cases) EXPECT_TRUE(events_of(c.link, c.frame).empty()) << c.name;
    // A UDP length shorter than the datagram bounds the message (the rest is padding).
    Bytes short_udp = with16(udp4, 24, static_cast<std::uint16_t>(8 + 12));
    auto seen = events_of(link_type::kRaw, short_udp);
    ASSERT_EQ(1u, seen.size());
    EXPECT_EQ(12u, seen[0].message.size());
}

// Every frame cut short (as by a snapshot length) yields nothing and reads
// nothing beyond what was captured.
TEST(DnsPacket, EveryTruncationIsSkippedSafely) {
    const Bytes udp4 = frames::udp_packet(kClient4, kServer4, kQuery);
    const Bytes tcp6 = frames::tcp_packet(kClient6, kServer6, frames::tcp_stream({kQuery}));
    const std::pair<std::uint32_t, Bytes> frames_of_each_link[] = {
        {link_type::kEthernet, frames::ethernet(udp4, {0x88A8, 0x8100})},
        {link_type::kEthernet, frames::ethernet(tcp6)},
        {link_type::kLinuxSll, frames::linux_sll(udp4)},
        {link_type::kLinuxSll2, frames::linux_sll2(tcp6)},
        {link_type::kRaw, tcp6},
        {link_type::kNull, frames::bsd_loopback(udp4, 2, false)},
    };
    for (const auto& [link, frame] : frames_of_each_link) {
        ASSERT_FALSE(events_of(link, frame).empty());
        for (std::size_t size = 0; size < frame.size(); ++size) {
            EXPECT_TRUE(events_of(link, Bytes(frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(size))).empty())
                << "link " << link << " cut at " << size;
        }
    }
    TransportPacket out;
    EXPECT_FALSE(parse_frame(link_type::kEthernet, nullptr, 0, out));
}

// Random damage to valid frames: never a read outside the frame (the
// sanitizer builds check), and every event found lies inside it.
TEST(DnsPacket, RandomlyDamagedFramesNeverReadOutside) {
    std::mt19937 random(12345);
    const Bytes samples[] = {
        frames::ethernet(frames::udp_packet(kClient4, kServer4, kQuery), {0x8100}),
        frames::ethernet(frames::tcp_packet(kServer4, kClient4, frames::tcp_stream({kAnswer, kNxdomain}))),
        frames::linux_sll2(frames::udp_packet(kServer6, kClient6, kAnswer)),
    };
    const std::uint32_t links[] = {link_type::kEthernet, link_type::kEthernet, link_type::kLinuxSll2};
    std::size_t with_events = 0;
    for (int round = 0; round < 20000; ++round) {
        const std::size_t which = static_cast<std::size_t>(round) % 3;
        Bytes frame = samples[which];
        const int changes = 1 + static_cast<int>(random() % 4);
        for (int i = 0; i < changes; ++i) frame[random() % frame.size()] = static_cast<std::uint8_t>(random());
        if (random() % 4 == 0) frame.resize(random() % frame.size());
        if (!events_of(links[which], frame).empty()) ++with_events;
    }
    // Damage in the DNS bytes or the padding still leaves events: both paths ran.
    EXPECT_GT(with_events, 0u);
}

TEST(DnsPacket, AddressTexts) {
    char text[kAddressTextSize];
    struct Case {
        std::uint8_t family;
        Bytes address;
        const char* want;
    };
    const Case cases[] = {
        {4, {0, 0, 0, 0}, "0.0.0.0"},
        {4, {255, 255, 255, 255}, "255.255.255.255"},
        {4, {10, 0, 100, 9}, "10.0.100.9"},
        {6, frames::ipv6_address({0, 0, 0, 0, 0, 0, 0, 0}), "::"},
        {6, frames::ipv6_address({0, 0, 0, 0, 0, 0, 0, 1}), "::1"},
        {6, frames::ipv6_address({0x2001, 0xdb8, 0, 0, 1, 0, 0, 1}), "2001:db8::1:0:0:1"},
        {6, frames::ipv6_address({0x2001, 0, 0, 1, 0, 0, 0, 1}), "2001:0:0:1::1"},
        {6, frames::ipv6_address({0x2001, 0xdb8, 0, 1, 1, 1, 1, 1}), "2001:db8:0:1:1:1:1:1"},
        {6, frames::ipv6_address({0xfe80, 0, 0, 0, 0, 0, 0, 0}), "fe80::"},
        {6, frames::ipv6_address({0xABCD, 0x0EF0, 0x000F, 1, 2, 3, 4, 5}), "abcd:ef0:f:1:2:3:4:5"},
        {6, frames::ipv6_address({0, 0, 0, 0, 0, 0xffff, 0x0a01, 0x0203}), "::ffff:10.1.2.3"},
        {6, frames::ipv6_address({0, 0, 0, 0, 0, 0, 0x0a01, 0x0203}), "::10.1.2.3"},
        {6, frames::ipv6_address({0xffff, 0xffff, 0xffff, 0xffff, 0xffff, 0xffff, 0xffff, 0xffff}),
         "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(std::strlen(c.want), format_address(c.family, c.address.data(), text)) << c.want;
        EXPECT_STREQ(c.want, text);
    }
}

TEST(DnsPacket, CaptureTimeBecomesEventTimeOfThePacketsSecond) {
    EXPECT_EQ(kEpochOffset, capture_time_to_event_time(0, 0));
    EXPECT_EQ(kEpochOffset + 17000000000LL + 9999999, capture_time_to_event_time(1700, 999999999));
    EXPECT_EQ(kEpochOffset + 1, capture_time_to_event_time(0, 199));
    // Times past 2038 and before 1970 keep their sign.
    EXPECT_EQ(kEpochOffset + 4102444800LL * 10000000, capture_time_to_event_time(4102444800LL, 0));
    EXPECT_EQ(kEpochOffset - 10000000, capture_time_to_event_time(-1, 0));
    // The decoder's division then gives the second of the packet.
    const std::int64_t t = capture_time_to_event_time(1733000000, 999999999);
    EXPECT_EQ(1733000000, (t - kEpochOffset) / 10000000);
}

}  // namespace
}  // namespace kr::traffic
