#include "packet_synth.h"

#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <cstdlib>
#include <unistd.h>

#include "pcap_writer.h"
#include "wire.h"

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

// The checksums of a finished packet verify when their sums come out as all ones.
void expect_valid_checksums(const ByteVector& p) {
    EXPECT_EQ(checksum_add(0, p.data(), 20), 0xFFFFu) << "IPv4 header";
    const std::size_t length = p.size() - 20;
    std::uint8_t pseudo[12];
    std::copy(p.begin() + 12, p.begin() + 20, pseudo);
    pseudo[8] = 0;
    pseudo[9] = p[9];
    pseudo[10] = static_cast<std::uint8_t>(length >> 8);
    pseudo[11] = static_cast<std::uint8_t>(length);
    EXPECT_EQ(checksum_add(checksum_add(0, pseudo, 12), p.data() + 20, length), 0xFFFFu) << "transport";
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

TEST(PacketSynth, RefusesWhatIpv4CannotCarry) {
    Synth synth;
    ByteVector packet;
    std::string error;
    EXPECT_FALSE(synth.build(test::event_message(1, "2001:db8::1", "192.0.2.1", 0, {}), packet, error));
    EXPECT_EQ(error, "client address '2001:db8::1' is not IPv4 dotted text");
    EXPECT_FALSE(synth.build(test::event_message(1, "192.0.2.1", "dns.example", 0, {}), packet, error));
    EXPECT_EQ(error, "server address 'dns.example' is not IPv4 dotted text");
    EXPECT_FALSE(synth.build(test::event_message(1, "192.0.2.1", "192.0.2.2", 0, ByteVector(65508, 0)), packet, error));
    EXPECT_EQ(error, "DNS packet of 65508 bytes does not fit one IPv4 datagram");
    EXPECT_TRUE(synth.build(test::event_message(1, "192.0.2.1", "192.0.2.2", 0, ByteVector(65507, 0)), packet, error));
    EXPECT_EQ(packet.size(), 65535u);
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
