#include "model/dns.h"

#include <gtest/gtest.h>

#include <random>

#include "tests/support/wire.h"

namespace kr::collector {
namespace {

using test::ByteVector;

DnsSummary parse(const ByteVector& packet) {
    return parse_dns(Bytes(packet.data(), packet.size()));
}

struct NameResult {
    bool ok;
    std::string text;
    std::size_t end;
    std::string error;
};

NameResult name_at(const ByteVector& packet, std::size_t offset) {
    NameResult result{};
    result.ok = parse_name(Bytes(packet.data(), packet.size()), offset, result.text, result.end, result.error);
    return result;
}

TEST(DnsHeader, SplitsTheFlagsWord) {
    // Response, opcode 5, AA, RD, RA, rcode 3.
    const DnsSummary dns = parse(test::dns_packet(0xBEEF, 0xAD83, "example.com", 28, 1));
    EXPECT_TRUE(dns.error.empty()) << dns.error;
    EXPECT_EQ(dns.id, 0xBEEF);
    EXPECT_EQ(dns.flags, 0xAD83);
    EXPECT_TRUE(dns.qr());
    EXPECT_EQ(dns.opcode(), 5u);
    EXPECT_EQ(dns.rcode(), 3u);
    ASSERT_TRUE(dns.has_question);
    EXPECT_EQ(dns.qname, "example.com");
    EXPECT_EQ(dns.qtype, 28);
    EXPECT_EQ(dns.qclass, 1);
}

TEST(DnsQuestion, ShowsTheRootAsADot) {
    const DnsSummary dns = parse(test::dns_packet(1, 0x0100, ".", 2, 1));
    ASSERT_TRUE(dns.has_question) << dns.error;
    EXPECT_EQ(dns.qname, ".");
    EXPECT_EQ(dns.qtype, 2);
}

TEST(DnsQuestion, IsAbsentWithoutErrorWhenThePacketHasNone) {
    const DnsSummary dns = parse(test::dns_header(9, 0x2800, 0));
    EXPECT_TRUE(dns.has_header);
    EXPECT_FALSE(dns.has_question);
    EXPECT_EQ(dns.error, "");
}

TEST(DnsQuestion, EscapesDotsBackslashesAndUnprintableBytes) {
    ByteVector packet = test::dns_header(1, 0, 1);
    test::append(packet, {3, 'a', '.', 'b', 4, 'x', 0, ' ', '\\', 2, 0xC3, 0xA9, 0});
    test::append_be16(packet, 16);
    test::append_be16(packet, 3);
    const DnsSummary dns = parse(packet);
    ASSERT_TRUE(dns.has_question) << dns.error;
    EXPECT_EQ(dns.qname, "a\\.b.x\\000\\032\\\\.\\195\\169");
    EXPECT_EQ(dns.qclass, 3);
}

TEST(DnsQuestion, KeepsTheHeaderWhenTheQuestionIsBroken) {
    ByteVector cut = test::dns_packet(0x4242, 0x0100, "example.com");
    cut.resize(cut.size() - 3);
    DnsSummary dns = parse(cut);
    EXPECT_TRUE(dns.has_header);
    EXPECT_EQ(dns.id, 0x4242);
    EXPECT_FALSE(dns.has_question);
    EXPECT_EQ(dns.error, "question cut off before its type and class");

    ByteVector unterminated = test::dns_header(1, 0, 1);
    test::append(unterminated, {3, 'w', 'w', 'w'});
    dns = parse(unterminated);
    EXPECT_TRUE(dns.has_header);
    EXPECT_EQ(dns.error, "question name: name runs past the end of the packet");
}

TEST(DnsHeader, IsMissingFromAShortPacket) {
    const DnsSummary dns = parse(ByteVector(11, 0));
    EXPECT_FALSE(dns.has_header);
    EXPECT_EQ(dns.error, "packet of 11 bytes is shorter than the DNS header");
}

// Question "example.com" at 12 (so "com" at 20), then further names.
ByteVector packet_with_question() {
    return test::dns_packet(7, 0x8180, "example.com");
}

TEST(DnsName, FollowsCompressionPointersBackwards) {
    ByteVector packet = packet_with_question();
    const std::size_t answer = packet.size();
    test::append(packet, {3, 'w', 'w', 'w', 0xC0, 12});          // www + -> example.com
    const std::size_t chained = packet.size();
    test::append(packet, {1, 'a', 0xC0, static_cast<std::uint8_t>(answer)});  // a + -> www...
    const std::size_t only_pointer = packet.size();
    test::append(packet, {0xC0, 20});                             // -> com

    NameResult name = name_at(packet, answer);
    ASSERT_TRUE(name.ok) << name.error;
    EXPECT_EQ(name.text, "www.example.com");
    EXPECT_EQ(name.end, answer + 6);

    name = name_at(packet, chained);
    ASSERT_TRUE(name.ok) << name.error;
    EXPECT_EQ(name.text, "a.www.example.com");
    EXPECT_EQ(name.end, chained + 4);

    name = name_at(packet, only_pointer);
    ASSERT_TRUE(name.ok) << name.error;
    EXPECT_EQ(name.text, "com");
    EXPECT_EQ(name.end, only_pointer + 2);
}

TEST(DnsName, RejectsPointersThatLoopOrLeadForward) {
    ByteVector packet = packet_with_question();
    const std::size_t self = packet.size();
    test::append(packet, {0xC0, static_cast<std::uint8_t>(self)});
    const std::size_t into_itself = packet.size();
    test::append(packet, {1, 'x', 0xC0, static_cast<std::uint8_t>(into_itself)});
    const std::size_t forward = packet.size();
    test::append(packet, {0xC0, static_cast<std::uint8_t>(forward + 4), 1, 'y', 0});
    // Two names pointing at each other: the second jump cannot go backwards.
    const std::size_t first = packet.size();
    test::append(packet, {1, 'p', 0xC0, static_cast<std::uint8_t>(first + 4)});
    test::append(packet, {1, 'q', 0xC0, static_cast<std::uint8_t>(first)});
    const std::size_t outside = packet.size();
    test::append(packet, {0xC0, 0xFF});

    for (std::size_t offset : {self, into_itself, forward, first, outside}) {
        const NameResult name = name_at(packet, offset);
        EXPECT_FALSE(name.ok) << "name at " << offset << " gave " << name.text;
        EXPECT_NE(name.error.find("does not point backwards"), std::string::npos) << name.error;
    }
    const NameResult back = name_at(packet, first + 4);
    EXPECT_FALSE(back.ok);  // q -> p -> q
}

TEST(DnsName, BoundsPointerChains) {
    // Each pointer leads two bytes back, ending at the root at offset 12.
    ByteVector packet = test::dns_header(1, 0, 1);
    packet.push_back(0);
    for (std::size_t i = 0; i < 130; ++i) {
        const std::size_t target = packet.size() - (i == 0 ? 1 : 2);
        packet.push_back(static_cast<std::uint8_t>(0xC0 | (target >> 8)));
        packet.push_back(static_cast<std::uint8_t>(target));
    }
    NameResult name = name_at(packet, 13 + 2 * 126);
    ASSERT_TRUE(name.ok) << name.error;
    EXPECT_EQ(name.text, ".");
    name = name_at(packet, packet.size() - 2);
    EXPECT_FALSE(name.ok);
    EXPECT_EQ(name.error, "too many compression pointers in a name");
}

TEST(DnsName, RejectsTruncatedAndReservedForms) {
    ByteVector packet = test::dns_header(1, 0, 1);
    const struct {
        ByteVector name;
        std::string error;
    } cases[] = {
        {{0xC0}, "compression pointer cut off by the end of the packet"},
        {{5, 'a', 'b'}, "label runs past the end of the packet"},
        {{0x40, 0}, "unsupported label type at offset 12"},
        {{0x80, 0}, "unsupported label type at offset 12"},
        {{}, "name runs past the end of the packet"},
    };
    for (const auto& c : cases) {
        ByteVector bytes = packet;
        test::append(bytes, c.name);
        const NameResult name = name_at(bytes, 12);
        EXPECT_FALSE(name.ok);
        EXPECT_EQ(name.error, c.error);
    }
}

TEST(DnsName, LimitsTheNameTo255Bytes) {
    // Four 63-byte labels take 257 bytes with their length bytes and the final zero.
    std::string label(63, 'a');
    ByteVector packet = test::dns_header(1, 0, 1);
    test::append(packet, test::dns_name(label + "." + label + "." + label + "." + label));
    NameResult name = name_at(packet, 12);
    EXPECT_FALSE(name.ok);
    EXPECT_EQ(name.error, "name longer than 255 bytes");

    packet = test::dns_header(1, 0, 1);
    test::append(packet, test::dns_name(label + "." + label + "." + label + "." + label.substr(2)));  // exactly 255
    name = name_at(packet, 12);
    ASSERT_TRUE(name.ok) << name.error;
    EXPECT_EQ(name.text.size(), 253u);
}

TEST(DnsPacket, SurvivesRandomBytes) {
    std::mt19937 random(12345);
    ByteVector base = test::dns_packet(1, 0, "a.b.example");
    for (int round = 0; round < 20000; ++round) {
        ByteVector packet = base;
        packet.resize(random() % 48);
        for (std::size_t i = 0; i < packet.size(); ++i) {
            if (random() % 3 == 0) {
                packet[i] = static_cast<std::uint8_t>(random());
            }
        }
        const DnsSummary dns = parse(packet);
        EXPECT_EQ(dns.has_header, packet.size() >= 12);
        EXPECT_EQ(dns.has_question, dns.error.empty() && dns.question_count > 0);
        EXPECT_LE(dns.qname.size(), 4u * 255u);
    }
}

}  // namespace
}  // namespace kr::collector
