#include "outputs/packet_synth.h"

#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <cstdlib>
#include <unistd.h>

#include "outputs/pcap_writer.h"
#include "tests/support/wire.h"

namespace kr::collector {
namespace {

using test::ByteVector;

// Keeps the message alive beside the event that views it.
class Synth {
public:
    bool build(const ByteVector& message, ByteVector& packet, std::string& error) {
        EventMessage event;
        EXPECT_TRUE(parse_event(Bytes(message.data(), message.size()), event, error)) << error;
        return synth_.build(event, packet, error);
    }
    ByteVector build(const ByteVector& message) {
        ByteVector packet;
        std::string error;
        EXPECT_TRUE(build(message, packet, error)) << error;
        return packet;
    }

private:
    PacketSynthesizer synth_;
};

std::uint32_t be32(const ByteVector& p, std::size_t at) {
    return read_be32(p.data() + at);
}
std::uint16_t be16(const ByteVector& p, std::size_t at) {
    return read_be16(p.data() + at);
}

// The checksums of a finished packet verify when their sums come out as all
// ones; the pseudo header is laid out as each IP version defines it.
void expect_valid_checksums(const ByteVector& p) {
    ByteVector pseudo;
    std::size_t header = 20;
    if (p[0] >> 4 == 4) {
        EXPECT_EQ(checksum_add(0, p.data(), 20), 0xFFFFu) << "IPv4 header";
        pseudo.assign(p.begin() + 12, p.begin() + 20);
        pseudo.push_back(0);
        pseudo.push_back(p[9]);
        test::append_be16(pseudo, static_cast<std::uint32_t>(p.size() - 20));
    } else {
        header = 40;
        pseudo.assign(p.begin() + 8, p.begin() + 40);
        test::append_be32(pseudo, static_cast<std::uint32_t>(p.size() - 40));
        pseudo.insert(pseudo.end(), {0, 0, 0, p[6]});
    }
    const std::size_t length = p.size() - header;
    EXPECT_EQ(checksum_add(checksum_add(0, pseudo.data(), pseudo.size()), p.data() + header, length), 0xFFFFu)
        << "transport";
}

TEST(Ipv4Text, AcceptsOnlyStrictDottedQuads) {
    std::uint32_t address = 0;
    ASSERT_TRUE(parse_ipv4("192.0.2.10", address));
    EXPECT_EQ(address, 0xC000020Au);
    ASSERT_TRUE(parse_ipv4("0.0.0.0", address));
    ASSERT_TRUE(parse_ipv4("255.255.255.255", address));
    EXPECT_EQ(address, 0xFFFFFFFFu);
    for (const char* bad : {"", "1.2.3", "1.2.3.4.5", "256.1.1.1", "1.2.3.04", "1..2.3", "1.2.3.4 ", " 1.2.3.4",
                            "::1", "2001:db8::1", "host.example", "1.2.3.1000", "+1.2.3.4"}) {
        EXPECT_FALSE(parse_ipv4(bad, address)) << bad;
    }
}

TEST(IpText, TakesIpv6AndMapsIpv4) {
    IpAddress address;
    ASSERT_TRUE(parse_ip("192.0.2.10", address));
    EXPECT_TRUE(address.v4);
    EXPECT_EQ(address.bytes, (IpAddress{{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 192, 0, 2, 10}, true}.bytes));
    ASSERT_TRUE(parse_ip("2001:db8::5", address));
    EXPECT_FALSE(address.v4);
    EXPECT_EQ(address.bytes, (IpAddress{{0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 5}, false}.bytes));
    ASSERT_TRUE(parse_ip("fe80::1%12", address));
    EXPECT_EQ(address.bytes[0], 0xFE);
    EXPECT_EQ(address.bytes[15], 1);
    for (const char* bad : {"", "1.2.3", "2001:db8::1::2", "2001:db8:1:2:3:4:5:6:7", "%12", "host.example", "1.2.3.04"}) {
        EXPECT_FALSE(parse_ip(bad, address)) << bad;
    }
}

TEST(PacketSynth, SendsAUdpQueryFromClientToServerPort53) {
    const ByteVector dns = test::dns_packet(0x1234, 0x0100, "example.com");
    const ByteVector p = Synth().build(test::event_message(1, "192.0.2.10", "192.0.2.1", 0, dns));
    ASSERT_EQ(p.size(), 20 + 8 + dns.size());
    EXPECT_EQ(p[0], 0x45);
    EXPECT_EQ(be16(p, 2), p.size());
    EXPECT_EQ(p[9], 17);
    EXPECT_EQ(be32(p, 12), 0xC000020Au);
    EXPECT_EQ(be32(p, 16), 0xC0000201u);
    EXPECT_EQ(be16(p, 20), 49152 + 0x1234);
    EXPECT_EQ(be16(p, 22), 53);
    EXPECT_EQ(be16(p, 24), 8 + dns.size());
    EXPECT_EQ(ByteVector(p.begin() + 28, p.end()), dns);
    expect_valid_checksums(p);
}

TEST(PacketSynth, SendsAResponseBackOnTheQuerysFlow) {
    Synth synth;
    const ByteVector query =
        synth.build(test::event_message(1, "192.0.2.10", "192.0.2.1", 0, test::dns_packet(0x4321, 0x0100, "a")));
    const ByteVector response =
        synth.build(test::event_message(1, "192.0.2.10", "192.0.2.1", 0, test::dns_packet(0x4321, 0x8180, "a")));
    EXPECT_EQ(be32(response, 12), be32(query, 16));
    EXPECT_EQ(be32(response, 16), be32(query, 12));
    EXPECT_EQ(be16(response, 20), 53);
    EXPECT_EQ(be16(response, 22), be16(query, 20));
    EXPECT_NE(be16(response, 4), be16(query, 4)) << "IPv4 identification should change";
    expect_valid_checksums(response);
}

TEST(PacketSynth, FramesTcpEventsWithTheLengthPrefixAndAdvancingSequence) {
    Synth synth;
    const ByteVector dns = test::dns_packet(7, 0x0100, "example.com");
    const ByteVector message = test::event_message(1, "10.0.0.1", "10.0.0.53", 1, dns);
    const ByteVector first = synth.build(message);
    const ByteVector second = synth.build(message);
    ASSERT_EQ(first.size(), 20 + 20 + 2 + dns.size());
    EXPECT_EQ(first[9], 6);
    EXPECT_EQ(be16(first, 22), 53);
    EXPECT_EQ(first[32] >> 4, 5);
    EXPECT_EQ(be16(first, 40), dns.size());
    EXPECT_EQ(ByteVector(first.begin() + 42, first.end()), dns);
    EXPECT_EQ(be32(second, 24), be32(first, 24) + 2 + dns.size());
    expect_valid_checksums(first);
    expect_valid_checksums(second);

    // The response acknowledges what the client has sent.
    const ByteVector response =
        synth.build(test::event_message(1, "10.0.0.1", "10.0.0.53", 1, test::dns_packet(7, 0x8180, "example.com")));
    EXPECT_EQ(be16(response, 20), 53);
    EXPECT_EQ(be32(response, 28), be32(second, 24) + 2 + dns.size());
}

TEST(PacketSynth, UsesIpv6WhenEitherAddressIsIpv6) {
    Synth synth;
    const ByteVector dns = test::dns_packet(0x0203, 0x0100, "v6.example");
    const ByteVector query = synth.build(test::event_message(1, "2001:db8::5", "192.0.2.1", 0, dns));
    ASSERT_EQ(query.size(), 40 + 8 + dns.size());
    EXPECT_EQ(query[0], 0x60);
    EXPECT_EQ(be16(query, 4), 8 + dns.size()) << "payload length";
    EXPECT_EQ(query[6], 17);
    EXPECT_EQ(query[7], 64);
    EXPECT_EQ(be32(query, 8), 0x20010DB8u);
    EXPECT_EQ(be32(query, 20), 5u);
    EXPECT_EQ(be32(query, 32), 0xFFFFu) << "IPv4 server as an IPv4-mapped address";
    EXPECT_EQ(be32(query, 36), 0xC0000201u);
    EXPECT_EQ(be16(query, 40), 49152 + 0x0203);
    EXPECT_EQ(be16(query, 42), 53);
    EXPECT_EQ(ByteVector(query.begin() + 48, query.end()), dns);
    expect_valid_checksums(query);

    const ByteVector tcp_query = synth.build(test::event_message(1, "192.0.2.10", "2001:db8::53", 1, dns));
    const ByteVector tcp_response =
        synth.build(test::event_message(1, "192.0.2.10", "2001:db8::53", 1, test::dns_packet(0x0203, 0x8180, "v6")));
    EXPECT_EQ(tcp_query[6], 6);
    EXPECT_EQ(be32(tcp_query, 16), 0xFFFFu);
    EXPECT_EQ(be32(tcp_query, 20), 0xC000020Au);
    EXPECT_EQ(ByteVector(tcp_response.begin() + 8, tcp_response.begin() + 24),
              ByteVector(tcp_query.begin() + 24, tcp_query.begin() + 40));
    EXPECT_EQ(be32(tcp_response, 48), be32(tcp_query, 44) + 2 + dns.size()) << "the response acknowledges the query";
    expect_valid_checksums(tcp_query);
    expect_valid_checksums(tcp_response);
}

TEST(PacketSynth, RefusesWhatIpCannotCarry) {
    Synth synth;
    ByteVector packet;
    std::string error;
    EXPECT_FALSE(synth.build(test::event_message(1, "2001:db8::1::2", "192.0.2.1", 0, {}), packet, error));
    EXPECT_EQ(error, "client address '2001:db8::1::2' is not IPv4 or IPv6 text");
    EXPECT_FALSE(synth.build(test::event_message(1, "192.0.2.1", "dns.example", 0, {}), packet, error));
    EXPECT_EQ(error, "server address 'dns.example' is not IPv4 or IPv6 text");
    EXPECT_FALSE(synth.build(test::event_message(1, "192.0.2.1", "192.0.2.2", 0, ByteVector(65508, 0)), packet, error));
    EXPECT_EQ(error, "DNS packet of 65508 bytes does not fit one IPv4 datagram");
    EXPECT_TRUE(synth.build(test::event_message(1, "192.0.2.1", "192.0.2.2", 0, ByteVector(65507, 0)), packet, error));
    EXPECT_EQ(packet.size(), 65535u);
    // IPv6 leaves its 40-byte header out of the 16-bit length.
    EXPECT_FALSE(synth.build(test::event_message(1, "::1", "::2", 0, ByteVector(65528, 0)), packet, error));
    EXPECT_EQ(error, "DNS packet of 65528 bytes does not fit one IPv6 packet");
    EXPECT_TRUE(synth.build(test::event_message(1, "::1", "::2", 0, ByteVector(65527, 0)), packet, error));
    EXPECT_EQ(packet.size(), 40u + 65535u);
    expect_valid_checksums(packet);
}

TEST(PcapWriter, WritesRawIpv4PacketsThatLibpcapReadsBack) {
    char path[] = "/tmp/collector-pcap-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    const ByteVector first{0x45, 1, 2, 3};
    const ByteVector second(100, 0x45);
    {
        PcapWriter writer;
        std::string error;
        ASSERT_TRUE(writer.open(path, error)) << error;
        writer.write(1796624400, first);
        writer.write(7, second);
        ASSERT_TRUE(writer.flush(error)) << error;
    }
    char errbuf[PCAP_ERRBUF_SIZE];
    pcap_t* reader = pcap_open_offline(path, errbuf);
    ASSERT_NE(reader, nullptr) << errbuf;
    EXPECT_EQ(pcap_datalink(reader), DLT_RAW);
    std::vector<std::pair<long, ByteVector>> packets;
    pcap_pkthdr* header = nullptr;
    const u_char* data = nullptr;
    while (pcap_next_ex(reader, &header, &data) == 1) {
        packets.emplace_back(static_cast<long>(header->ts.tv_sec), ByteVector(data, data + header->caplen));
    }
    pcap_close(reader);
    unlink(path);
    ASSERT_EQ(packets.size(), 2u);
    EXPECT_EQ(packets[0].first, 1796624400L);
    EXPECT_EQ(packets[0].second, first);
    EXPECT_EQ(packets[1].first, 7L);
    EXPECT_EQ(packets[1].second, second);
}

TEST(PcapWriter, ReportsAFileThatCannotBeCreated) {
    PcapWriter writer;
    std::string error;
    EXPECT_FALSE(writer.open("/nonexistent-dir/x.pcap", error));
    EXPECT_NE(error.find("cannot create /nonexistent-dir/x.pcap"), std::string::npos) << error;
    EXPECT_FALSE(writer.is_open());
}

}  // namespace
}  // namespace kr::collector
