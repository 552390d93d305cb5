#include "substitute/tdh_substitute.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "capture/decoder.h"
#include "substitute/event_builder.h"

namespace kr::substitute {
using kr::capture::kDnsServerProviderGuid;

namespace {

using Bytes = std::vector<std::uint8_t>;

const std::vector<std::vector<std::string>> kNames = {
    {"TCP", "InterfaceIP", "Source", "RD", "QNAME", "QTYPE", "XID", "Port", "Flags", "BufferSize", "PacketData"},
    {"TCP", "InterfaceIP", "Destination", "AA", "AD", "QNAME", "QTYPE", "XID", "DNSSEC", "RCODE", "Port", "Flags",
     "Scope", "Zone", "PolicyName", "BufferSize", "PacketData"},
    {"TCP", "InterfaceIP", "Destination", "Reason", "QNAME", "QTYPE", "XID", "RCODE", "Port", "Flags", "Zone",
     "PolicyName", "BufferSize", "PacketData"},
};

Bytes utf16(const std::string& name) {
    Bytes units;
    for (char c : name) units.insert(units.end(), {static_cast<std::uint8_t>(c), 0});
    units.insert(units.end(), {0, 0});
    return units;
}

PROPERTY_DATA_DESCRIPTOR named(const Bytes& name) {
    PROPERTY_DATA_DESCRIPTOR d{};
    d.PropertyName = reinterpret_cast<std::uintptr_t>(name.data());
    d.ArrayIndex = 0xFFFFFFFFu;
    return d;
}

// Reads one property through the catalog; the status, and the bytes on success.
ULONG read(const EVENT_RECORD* record, const std::string& name, Bytes* value) {
    const Bytes units = utf16(name);
    PROPERTY_DATA_DESCRIPTOR d = named(units);
    ULONG size = 0;
    ULONG status = dns_server_catalog().property_size(record, 1, &d, &size);
    if (status != ERROR_SUCCESS) return status;
    value->assign(size, 0xEE);
    return dns_server_catalog().property(record, 1, &d, size, value->data());
}

TEST(TdhSubstitute, EventInformationCarriesTheSchemaNamesAsUtf16) {
    DnsEventBuilder builder;
    for (std::uint16_t id = 256; id <= 258; ++id) {
        SCOPED_TRACE(id);
        const EVENT_RECORD* record = builder.build(id, 0, 0, "", "", nullptr, 0);
        ULONG size = 0;
        ASSERT_EQ(ERROR_INSUFFICIENT_BUFFER, dns_server_catalog().event_information(record, nullptr, &size));
        std::vector<std::uint64_t> block(size / 8 + 1, 0);
        auto* info = reinterpret_cast<TRACE_EVENT_INFO*>(block.data());
        ULONG short_size = size - 1;
        EXPECT_EQ(ERROR_INSUFFICIENT_BUFFER, dns_server_catalog().event_information(record, info, &short_size));
        EXPECT_EQ(size, short_size);
        EXPECT_EQ(0u, block[0]);  // nothing written into a short buffer
        ASSERT_EQ(ERROR_SUCCESS, dns_server_catalog().event_information(record, info, &size));

        const std::vector<std::string>& names = kNames[id - 256];
        EXPECT_EQ(0, std::memcmp(&kDnsServerProviderGuid, &info->ProviderGuid, sizeof(GUID)));
        EXPECT_EQ(id, info->EventDescriptor.Id);
        ASSERT_EQ(names.size(), info->PropertyCount);
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(block.data());
        const auto* properties = reinterpret_cast<const EVENT_PROPERTY_INFO*>(
            bytes + offsetof(TRACE_EVENT_INFO, EventPropertyInfoArray));
        for (std::size_t i = 0; i < names.size(); ++i) {
            const Bytes expected = utf16(names[i]);
            ASSERT_LE(properties[i].NameOffset + expected.size(), size);
            EXPECT_EQ(expected, Bytes(bytes + properties[i].NameOffset,
                                      bytes + properties[i].NameOffset + expected.size()));
        }
        const EVENT_PROPERTY_INFO& packet = properties[names.size() - 1];
        EXPECT_EQ(PropertyParamLength, packet.Flags);
        EXPECT_EQ(names.size() - 2, packet.lengthPropertyIndex);
    }
}

TEST(TdhSubstitute, UnknownEventsNamesAndArgumentsGetStatuses) {
    DnsEventBuilder builder;
    const std::uint8_t packet[4] = {1, 2, 3, 4};
    EVENT_RECORD record = *builder.build(256, 0, 0, "10.0.0.1", "10.0.0.2", packet, 4);
    ULONG size = 0;
    EXPECT_EQ(ERROR_INVALID_PARAMETER, dns_server_catalog().event_information(&record, nullptr, nullptr));
    record.EventHeader.EventDescriptor.Id = 259;
    EXPECT_EQ(ERROR_NOT_FOUND, dns_server_catalog().event_information(&record, nullptr, &size));
    record.EventHeader.EventDescriptor.Id = 256;
    record.EventHeader.ProviderId.Data1 ^= 1;
    EXPECT_EQ(ERROR_NOT_FOUND, dns_server_catalog().event_information(&record, nullptr, &size));
    record.EventHeader.ProviderId.Data1 ^= 1;

    Bytes value;
    for (const char* name : {"TC", "TCPX", "", "tcp", "Destination"}) {
        EXPECT_EQ(ERROR_NOT_FOUND, read(&record, name, &value)) << name;
    }
    const Bytes tcp = utf16("TCP");
    PROPERTY_DATA_DESCRIPTOR d = named(tcp);
    EXPECT_EQ(ERROR_INVALID_PARAMETER, dns_server_catalog().property_size(&record, 2, &d, &size));
    d.ArrayIndex = 0;
    EXPECT_EQ(ERROR_SUCCESS, dns_server_catalog().property_size(&record, 1, &d, &size));
    d.ArrayIndex = 3;
    EXPECT_EQ(ERROR_INVALID_PARAMETER, dns_server_catalog().property_size(&record, 1, &d, &size));

    // A buffer one byte short is refused and left alone.
    ASSERT_EQ(ERROR_SUCCESS, read(&record, "InterfaceIP", &value));
    const Bytes interface_ip = utf16("InterfaceIP");
    d = named(interface_ip);
    Bytes small(value.size() - 1, 0xEE);
    EXPECT_EQ(ERROR_INSUFFICIENT_BUFFER,
              dns_server_catalog().property(&record, 1, &d, static_cast<ULONG>(small.size()), small.data()));
    EXPECT_EQ(Bytes(small.size(), 0xEE), small);
}

// The properties, read one by one, put back together the whole user data;
// cut short anywhere, each property is either whole or refused, and nothing
// past the cut is read (the cut copy is exactly as long as its length).
TEST(TdhSubstitute, PropertiesTileTheUserDataAndTruncationIsRefused) {
    DnsEventBuilder builder;
    Bytes packet(40);
    for (std::size_t i = 0; i < packet.size(); ++i) packet[i] = static_cast<std::uint8_t>(i * 7);
    for (std::uint16_t id = 256; id <= 258; ++id) {
        SCOPED_TRACE(id);
        const EVENT_RECORD full = *builder.build(id, 0, 1, "192.0.2.1", "203.0.113.9", packet.data(), 40);
        const auto* data = static_cast<const std::uint8_t*>(full.UserData);
        std::vector<Bytes> values;
        Bytes joined;
        for (const std::string& name : kNames[id - 256]) {
            values.emplace_back();
            ASSERT_EQ(ERROR_SUCCESS, read(&full, name, &values.back())) << name;
            joined.insert(joined.end(), values.back().begin(), values.back().end());
        }
        EXPECT_EQ(Bytes(data, data + full.UserDataLength), joined);
        EXPECT_EQ(packet, values.back());

        for (std::size_t cut = 0; cut < full.UserDataLength; ++cut) {
            std::unique_ptr<std::uint8_t[]> copy(new std::uint8_t[cut]);
            if (cut != 0) std::memcpy(copy.get(), data, cut);
            EVENT_RECORD shorter = full;
            shorter.UserData = copy.get();
            shorter.UserDataLength = static_cast<USHORT>(cut);
            std::size_t end = 0;
            for (std::size_t i = 0; i < values.size(); ++i) {
                end += values[i].size();
                Bytes value;
                ULONG status = read(&shorter, kNames[id - 256][i], &value);
                if (end <= cut) {
                    ASSERT_EQ(ERROR_SUCCESS, status);
                    EXPECT_EQ(values[i], value);
                } else {
                    ASSERT_EQ(kStatusInvalidData, status) << kNames[id - 256][i] << " cut " << cut;
                }
            }
        }
    }
}

// Events of one user-data length from the builder's one buffer, alike up to
// a point: every read answers from the event's own bytes, whatever was read
// from the event before it.
TEST(TdhSubstitute, ReadsFollowEachEventsOwnBytes) {
    struct Case { std::string server, client; Bytes packet; };
    const Case cases[] = {
        {"192.0.2.1", "203.0.113.9", {1, 2, 3, 4}},
        {"192.0.2.1", "203.0.113.9", {9, 8, 7, 6}},     // the packet alone differs
        {"192.0.2.10", "203.0.113.", {9, 8, 7, 6}},     // the texts' ends move
        {"192.0.2.1", "203.0.113.", {9, 8, 7, 6, 5}},  // the packet starts earlier
        {"192.0.2.1", "203.0.113.9", {9, 8, 7, 6}},     // the client's end moves
        {"192.0.2.1", "203.0.113.", {1, 8, 7, 6, 5}},
    };
    const std::string names[] = {"PacketData", "Source", "InterfaceIP"};
    DnsEventBuilder builder;
    const EVENT_RECORD* record = nullptr;
    for (std::size_t k = 0; k < sizeof cases / sizeof cases[0]; ++k) {
        const Case& c = cases[k];
        record = builder.build(256, 0, 1, c.server, c.client, c.packet.data(),
                               static_cast<std::uint32_t>(c.packet.size()));
        const Bytes expected[] = {c.packet, Bytes(c.client.begin(), c.client.end() + 1),
                                  Bytes(c.server.begin(), c.server.end() + 1)};
        // Each property in turn is the first read of its event.
        for (std::size_t n = 0; n < 3; ++n) {
            const std::size_t i = (k + n) % 3;
            Bytes value;
            ASSERT_EQ(ERROR_SUCCESS, read(record, names[i], &value)) << names[i] << " of case " << k;
            EXPECT_EQ(expected[i], value) << names[i] << " of case " << k;
        }
    }
    // The last event's bytes with its length field one less: the packet ends a byte earlier.
    const auto* data = static_cast<const std::uint8_t*>(record->UserData);
    Bytes shorter(data, data + record->UserDataLength);
    shorter[shorter.size() - 7] = 4;  // BufferSize, little-endian, before the 5 packet bytes
    EVENT_RECORD edited = *record;
    edited.UserData = shorter.data();
    Bytes value;
    ASSERT_EQ(ERROR_SUCCESS, read(&edited, "PacketData", &value));
    EXPECT_EQ(Bytes(cases[5].packet.begin(), cases[5].packet.end() - 1), value);
}

TEST(TdhSubstitute, CatalogRefusesSchemasItCannotDescribe) {
    SchemaCatalog catalog;
    const FieldSpec bytes_first[] = {{"TCP", FieldType::kUInt8}, {"PacketData", FieldType::kBytes}};
    const FieldSpec unnamed[] = {{"", FieldType::kUInt8}};
    const FieldSpec non_ascii[] = {{"\xC3\xA9t\xC3\xA9", FieldType::kUInt8}};
    EXPECT_FALSE(catalog.add(kDnsServerProviderGuid, {256, bytes_first, 2}));
    EXPECT_FALSE(catalog.add(kDnsServerProviderGuid, {256, unnamed, 1}));
    EXPECT_FALSE(catalog.add(kDnsServerProviderGuid, {256, non_ascii, 1}));
    EventRecordBuilder record;
    record.start(kDnsServerProviderGuid, 256, 0);
    ULONG size = 0;
    EXPECT_EQ(ERROR_NOT_FOUND, catalog.event_information(record.finish(), nullptr, &size));
}

}  // namespace
}  // namespace kr::substitute
