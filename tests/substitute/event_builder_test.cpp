#include "substitute/event_builder.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "capture/decoder.h"

namespace kr::substitute {
using kr::capture::kDnsServerProviderGuid;

namespace {

using Bytes = std::vector<std::uint8_t>;

std::uint32_t read_number(const EVENT_RECORD* record, const char* name) {
    Bytes units;
    for (const char* c = name; *c; ++c) units.insert(units.end(), {static_cast<std::uint8_t>(*c), 0});
    units.insert(units.end(), {0, 0});
    PROPERTY_DATA_DESCRIPTOR d{reinterpret_cast<std::uintptr_t>(units.data()), 0xFFFFFFFFu, 0};
    std::uint8_t value[4] = {};
    EXPECT_EQ(ERROR_SUCCESS, dns_server_catalog().property(record, 1, &d, sizeof value, value)) << name;
    return value[0] | (value[1] << 8) | (value[2] << 16) | (static_cast<std::uint32_t>(value[3]) << 24);
}

TEST(DnsEventBuilder, FillsHeaderAndPacketDerivedProperties) {
    DnsEventBuilder builder;
    // XID 0xABCD; flags: response, AA, RD, RA, AD, RCODE 3.
    const std::uint8_t packet[] = {0xAB, 0xCD, 0x85, 0xA3, 0, 1, 0, 0, 0, 0, 0, 0};
    const EVENT_RECORD* record = builder.build(257, 123456789, 1, "192.0.2.1", "192.0.2.10", packet, sizeof packet);
    ASSERT_NE(nullptr, record);
    EXPECT_EQ(0, std::memcmp(&kDnsServerProviderGuid, &record->EventHeader.ProviderId, sizeof(GUID)));
    EXPECT_EQ(257, record->EventHeader.EventDescriptor.Id);
    EXPECT_EQ(123456789, record->EventHeader.TimeStamp.QuadPart);
    EXPECT_EQ(1u, read_number(record, "TCP"));
    EXPECT_EQ(0xABCDu, read_number(record, "XID"));
    EXPECT_EQ(0x85A3u, read_number(record, "Flags"));
    EXPECT_EQ(3u, read_number(record, "RCODE"));
    EXPECT_EQ(1u, read_number(record, "AA"));
    EXPECT_EQ(1u, read_number(record, "AD"));
    EXPECT_EQ(sizeof packet, read_number(record, "BufferSize"));

    record = builder.build(256, 0, 0, "192.0.2.1", "192.0.2.10", packet, sizeof packet);
    EXPECT_EQ(1u, read_number(record, "RD"));
    // Too short for a header: nothing is made up.
    record = builder.build(256, 0, 0, "192.0.2.1", "192.0.2.10", packet, 1);
    EXPECT_EQ(0u, read_number(record, "XID"));
    EXPECT_EQ(0u, read_number(record, "Flags"));
    EXPECT_EQ(1u, read_number(record, "BufferSize"));
}

TEST(DnsEventBuilder, RefusesWhatTheRecordCannotCarryAndStaysUsable) {
    DnsEventBuilder builder;
    const Bytes packet(65535, 0x42);
    EXPECT_EQ(nullptr, builder.build(259, 0, 0, "a", "b", packet.data(), 10));
    EXPECT_EQ(nullptr, builder.build(256, 0, 0, std::string("10.0\0.1", 7), "b", packet.data(), 10));
    EXPECT_EQ(nullptr, builder.build(256, 0, 0, "a", std::string("\0", 1), packet.data(), 10));
    EXPECT_EQ(nullptr, builder.build(256, 0, 0, "a", "b", packet.data(), 65535));

    // The largest packet that fits: 256's other properties take 1+2+2+1+1+2+2+2+2+2 bytes.
    const std::uint32_t largest = 65535 - 17;
    const EVENT_RECORD* record = builder.build(256, 0, 0, "a", "b", packet.data(), largest);
    ASSERT_NE(nullptr, record);
    EXPECT_EQ(65535, record->UserDataLength);
    EXPECT_EQ(largest, read_number(record, "BufferSize"));
    EXPECT_EQ(nullptr, builder.build(256, 0, 0, "a", "b", packet.data(), largest + 1));
}

TEST(DnsEventBuilder, ReusesOneRecordAndOneBlock) {
    DnsEventBuilder builder;
    const std::uint8_t packet[] = {1, 2, 3, 4};
    const EVENT_RECORD* first = builder.build(256, 0, 0, "10.0.0.1", "10.0.0.2", packet, 4);
    const void* block = first->UserData;
    const EVENT_RECORD* second = builder.build(258, 0, 0, "10.0.0.1", "10.0.0.2", packet, 4);
    EXPECT_EQ(first, second);
    EXPECT_EQ(block, second->UserData);
    EXPECT_EQ(258, first->EventHeader.EventDescriptor.Id);
}

TEST(EventRecordBuilder, WritesLittleEndianFieldsAndRefusesOverflow) {
    EventRecordBuilder builder;
    builder.start(kDnsServerProviderGuid, 300, 5);
    builder.put_u8(0x01);
    builder.put_u16(0x0302);
    builder.put_u32(0x07060504);
    builder.put_text("ab");
    const std::uint8_t tail[] = {0xFE};
    builder.put_bytes(tail, 1);
    const EVENT_RECORD* record = builder.finish();
    ASSERT_NE(nullptr, record);
    const auto* data = static_cast<const std::uint8_t*>(record->UserData);
    EXPECT_EQ((Bytes{1, 2, 3, 4, 5, 6, 7, 'a', 'b', 0, 0xFE}), Bytes(data, data + record->UserDataLength));

    const Bytes big(EventRecordBuilder::kMaxUserData, 0);
    builder.start(kDnsServerProviderGuid, 300, 5);
    builder.put_bytes(big.data(), big.size());
    ASSERT_NE(nullptr, builder.finish());
    builder.put_u8(0);
    EXPECT_EQ(nullptr, builder.finish());
    builder.start(kDnsServerProviderGuid, 300, 5);
    EXPECT_NE(nullptr, builder.finish());
}

}  // namespace
}  // namespace kr::substitute
