#include "capture/decoder.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "capture/etw_session.h"
#include "error/error.h"
#include "substitute/event_builder.h"
#include "support/log_capture.h"
#include "tdh_script.h"

namespace kr::capture {
using kr::substitute::DnsEventBuilder;
using kr::substitute::EventRecordBuilder;
using kr::substitute::EventSchema;
using kr::substitute::FieldSpec;
using kr::substitute::FieldType;
using kr::substitute::SchemaCatalog;
using kr::substitute::dns_server_catalog;
using kr::substitute::dns_server_event_schema;
using kr::substitute::kStatusInvalidData;
using kr::substitute::tdh_substitute_api;

namespace {

using Bytes = std::vector<std::uint8_t>;
using test::ReallocScript;
using test::ScriptedTdh;

const Bytes kPacket = {0x12, 0x34, 0x01, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
const GUID kOtherProvider = {0x01020304, 0x0506, 0x0708, {9, 10, 11, 12, 13, 14, 15, 16}};

std::int64_t at_second(std::int64_t seconds) { return kEpochOffset + seconds * 10000000; }

Bytes message_for(std::uint32_t time, const std::string& device, const std::string& server, std::uint8_t tcp,
                  const Bytes& packet) {
    Bytes m = {2, static_cast<std::uint8_t>(time >> 24), static_cast<std::uint8_t>(time >> 16),
               static_cast<std::uint8_t>(time >> 8), static_cast<std::uint8_t>(time)};
    m.push_back(static_cast<std::uint8_t>(device.size()));
    m.insert(m.end(), device.begin(), device.end());
    m.push_back(static_cast<std::uint8_t>(server.size()));
    m.insert(m.end(), server.begin(), server.end());
    m.push_back(tcp);
    m.insert(m.end(), packet.begin(), packet.end());
    return m;
}

std::string status_text(ULONG status) { return error::system_error_text(error::windows_error_code(status)); }
std::string status_failure(const std::string& call, ULONG status) {
    return "ERROR - Process ETW event failed: " + call + " failed: " + status_text(status);
}

// Every test runs against the substitute, installed explicitly: the system's
// TDH is not usable where these tests run (it aborts under Wine).
class DecoderTest : public ::testing::Test {
protected:
    DecoderTest() : saved_(tdh_api()) {
        tdh_api() = tdh_substitute_api();
        session.message_callback = collect;
        session.callback_context = &messages;
        session.counters = &counters;
    }
    ~DecoderTest() override { tdh_api() = saved_; }

    static int collect(const std::uint8_t* data, std::uint32_t length, void* context) {
        static_cast<std::vector<Bytes>*>(context)->emplace_back(data, data + length);
        return 0;
    }

    void decode(std::uint16_t id, const std::string& server, const std::string& device, const Bytes& packet = kPacket,
                std::int64_t timestamp = at_second(1000), std::uint8_t tcp = 0) {
        const EVENT_RECORD* record =
            builder.build(id, timestamp, tcp, server, device, packet.data(), static_cast<std::uint32_t>(packet.size()));
        ASSERT_NE(nullptr, record);
        decode_event(session, record);
    }

    // One ordinary event that must come out whole after any earlier failure.
    void expect_next_event_decodes() {
        messages.clear();
        decode(257, "192.0.2.1", "192.0.2.10");
        ASSERT_EQ(1u, messages.size());
        EXPECT_EQ(message_for(1000, "192.0.2.10", "192.0.2.1", 0, kPacket), messages[0]);
    }

    // seen 256/257/258, events, then every drop reason in declaration order.
    static std::vector<std::uint64_t> tally(const DecoderCounters& c) {
        return {c.seen[0].get(),         c.seen[1].get(),         c.seen[2].get(),        c.events.get(),
                c.non_ipv4.get(),        c.tdh_info_failed.get(), c.tdh_size_failed.get(), c.tdh_get_failed.get(),
                c.no_packet_field.get(), c.bad_size.get(),        c.alloc_failed.get()};
    }

    TdhApi saved_;
    kr::test::LogCapture log;
    DecoderCounters counters;
    EtwSession session;
    DnsEventBuilder builder;
    std::vector<Bytes> messages;
};

TEST_F(DecoderTest, BuildsTheExampleMessageByteForByte) {
    const std::int64_t s = 1700000000;
    decode(257, "192.0.2.1", "192.0.2.10", kPacket, at_second(s) + 1234567);
    ASSERT_EQ(1u, messages.size());
    const Bytes expected = {0x02, 0x65, 0x53, 0xF1, 0x00, 0x0A, '1', '9', '2', '.', '0', '.', '2', '.',
                            '1',  '0',  0x09, '1',  '9',  '2', '.', '0', '.', '2', '.', '1', 0x00};
    Bytes with_packet = expected;
    with_packet.insert(with_packet.end(), kPacket.begin(), kPacket.end());
    EXPECT_EQ(39u, with_packet.size());
    EXPECT_EQ(with_packet, messages[0]);
    EXPECT_EQ(39, session.decoder.message_length);
    EXPECT_TRUE(log.messages().empty());

    // The other two events and the transport flag, copied as given.
    decode(256, "10.0.0.53", "10.9.8.7", kPacket, at_second(s), 1);
    decode(258, "10.0.0.53", "10.9.8.7", {}, at_second(s), 1);
    ASSERT_EQ(3u, messages.size());
    EXPECT_EQ(message_for(static_cast<std::uint32_t>(s), "10.9.8.7", "10.0.0.53", 1, kPacket), messages[1]);
    EXPECT_EQ(message_for(static_cast<std::uint32_t>(s), "10.9.8.7", "10.0.0.53", 1, {}), messages[2]);
}

TEST_F(DecoderTest, TimeIsWholeSecondsSince1970TruncatedToLow32Bits) {
    const struct {
        std::int64_t timestamp;
        std::uint32_t seconds;
    } cases[] = {
        {kEpochOffset, 0},
        {kEpochOffset + 10000000, 1},
        {kEpochOffset + 10000000 + 9999999, 1},
        {kEpochOffset - 1, 0},  // toward zero, not down
        {kEpochOffset - 10000000, 0xFFFFFFFFu},
        {at_second((std::int64_t{1} << 32) + 5), 5},
    };
    for (const auto& c : cases) {
        messages.clear();
        decode(256, "192.0.2.1", "192.0.2.10", kPacket, c.timestamp);
        ASSERT_EQ(1u, messages.size());
        EXPECT_EQ(message_for(c.seconds, "192.0.2.10", "192.0.2.1", 0, kPacket), messages[0]) << c.timestamp;
    }
}

TEST_F(DecoderTest, OtherProvidersNeverReachTdh) {
    ScriptedTdh tdh;
    const EVENT_RECORD* record = builder.build(257, at_second(1), 0, "192.0.2.1", "192.0.2.10", kPacket.data(), 12);
    EVENT_RECORD other = *record;
    other.EventHeader.ProviderId = kOtherProvider;
    decode_event(session, &other);
    EXPECT_TRUE(tdh.calls().empty());
    EXPECT_TRUE(messages.empty());
    EXPECT_TRUE(log.messages().empty());
    EXPECT_EQ(std::vector<std::uint64_t>(11, 0), tally(counters)) << "no loss: nothing counted";
}

TEST_F(DecoderTest, OtherEventIdsAreFetchedThenDroppedSilently) {
    SchemaCatalog catalog;
    catalog.add(kDnsServerProviderGuid, EventSchema{259, dns_server_event_schema(256)->fields,
                                                    dns_server_event_schema(256)->count});
    ScriptedTdh tdh(catalog);
    const EVENT_RECORD* record = builder.build(256, at_second(1), 0, "192.0.2.1", "192.0.2.10", kPacket.data(), 12);
    EVENT_RECORD event259 = *record;
    event259.EventHeader.EventDescriptor.Id = 259;
    decode_event(session, &event259);
    ASSERT_EQ(2u, tdh.calls().size());
    EXPECT_EQ(ScriptedTdh::Call::kEventInformation, tdh.calls()[1].call);
    EXPECT_TRUE(messages.empty());
    EXPECT_TRUE(log.messages().empty());
    EXPECT_EQ(std::vector<std::uint64_t>(11, 0), tally(counters));

    // A failed size query is reported whatever the ID, but counted as a loss only for 256-258.
    tdh.fail_call(2, ERROR_NOT_FOUND);
    decode_event(session, &event259);
    EXPECT_EQ(std::vector<std::string>{"ERROR - TdhGetEventInformation() failed: " +
                                       status_text(ERROR_NOT_FOUND)},
              log.messages());
    EXPECT_EQ(0u, counters.tdh_info_failed.get());
    tdh.fail_call(3, ERROR_NOT_FOUND);
    decode_event(session, record);
    EXPECT_EQ(2u, log.messages().size());
    EXPECT_EQ(1u, counters.tdh_info_failed.get());
}

// Schemas whose names place (or fail to place) the packet property.
struct SearchCase {
    std::vector<FieldSpec> fields;
    std::string packet_name;  // empty: no packet position
};

TEST_F(DecoderTest, PacketPositionIsTheFirstPAfterBFromPositionFour) {
    const FieldSpec tcp{"TCP", FieldType::kUInt8}, server{"Server", FieldType::kText},
        client{"Client", FieldType::kText}, other{"Other", FieldType::kUInt8}, pad{"Pad", FieldType::kUInt8};
    const std::vector<SearchCase> cases = {
        {{tcp, server, client, {"BufferSize", FieldType::kLength}}, ""},
        {{tcp, server, {"Bclient", FieldType::kText}, {"Pad", FieldType::kUInt8}, other}, ""},
        {{tcp, server, client, {"Blen", FieldType::kLength}, {"Pkt", FieldType::kBytes}}, "Pkt"},
        {{tcp, server, client, other, other, other, other, other, other, {"BufferSize", FieldType::kLength},
          {"PacketData", FieldType::kBytes}, other, other, {"Bsecond", FieldType::kLength},
          {"Psecond", FieldType::kBytes}},
         "PacketData"},
        {{tcp, server, client, other, pad, {"Len", FieldType::kLength}, {"Payload", FieldType::kBytes},
          {"BufferSize", FieldType::kLength}, {"PacketData", FieldType::kBytes}},
         "PacketData"},
    };
    for (const SearchCase& c : cases) {
        SCOPED_TRACE(c.fields.size());
        SchemaCatalog catalog;
        ASSERT_TRUE(catalog.add(kDnsServerProviderGuid, EventSchema{258, c.fields.data(), c.fields.size()}));
        ScriptedTdh tdh(catalog);
        kr::test::LogCapture case_log;
        messages.clear();

        // Every kBytes property gets its own content, so the message shows which was taken.
        EventRecordBuilder record;
        record.start(kDnsServerProviderGuid, 258, at_second(7));
        Bytes taken;
        std::uint8_t fill = 0xA0;
        for (const FieldSpec& f : c.fields) {
            if (f.type == FieldType::kText) {
                record.put_text(std::string_view(f.name) == "Client" ? "10.1.2.3" : "10.0.0.1");
            }
            if (f.type == FieldType::kUInt8) record.put_u8(0);
            if (f.type == FieldType::kLength) record.put_u16(3);
            if (f.type == FieldType::kBytes) {
                const Bytes content(3, fill++);
                record.put_bytes(content.data(), content.size());
                if (c.packet_name == f.name) taken = content;
            }
        }
        decode_event(session, record.finish());

        if (c.packet_name.empty()) {
            EXPECT_EQ(1u, counters.no_packet_field.get());
            counters.no_packet_field.set(0);
            EXPECT_TRUE(messages.empty());
            EXPECT_EQ(std::vector<std::string>{"ERROR - Process ETW event failed: Packet data index not found for "
                                               "event ID 258 with property count " +
                                               std::to_string(c.fields.size())},
                      case_log.messages());
        } else {
            ASSERT_EQ(1u, messages.size());
            EXPECT_EQ(message_for(7, "10.1.2.3", "10.0.0.1", 0, taken), messages[0]);
            EXPECT_EQ(c.packet_name, tdh.calls().back().property);
            EXPECT_TRUE(case_log.messages().empty());
        }
    }
}

TEST_F(DecoderTest, OnlyIpv4DeviceAddressesBecomeMessages) {
    decode(256, "192.0.2.1", "10.1.2.3");
    EXPECT_EQ(1u, messages.size());
    for (const char* device : {"fe80::1", "::ffff:10.1.2.3", "host1", "10.1.2.Z"}) {
        decode(256, "192.0.2.1", device);
    }
    EXPECT_EQ(1u, messages.size());
    decode(257, "fe80::53", "10.1.2.3");
    ASSERT_EQ(2u, messages.size());
    EXPECT_EQ(message_for(1000, "10.1.2.3", "fe80::53", 0, kPacket), messages[1]);
    EXPECT_TRUE(log.messages().empty());
    EXPECT_EQ((std::vector<std::uint64_t>{5, 1, 0, 2, 4, 0, 0, 0, 0, 0, 0}), tally(counters));
}

TEST_F(DecoderTest, Ipv6ClientsAreForwardedAsTextWhenAllowed) {
    session.ipv4_clients_only = false;
    for (const char* device : {"fe80::1", "::ffff:10.1.2.3", "2001:DB8::A", "10.1.2.3"}) {
        decode(256, "192.0.2.1", device);
        ASSERT_FALSE(messages.empty());
        EXPECT_EQ(message_for(1000, device, "192.0.2.1", 0, kPacket), messages.back());
    }
    // Still no names, zone suffixes or other text.
    for (const char* device : {"host1", "10.1.2.Z", "fe80::1%eth0", "cafe"}) decode(256, "192.0.2.1", device);
    EXPECT_EQ(4u, messages.size());
    EXPECT_EQ(4u, counters.events.get());
    EXPECT_EQ(4u, counters.non_ipv4.get());
}

TEST_F(DecoderTest, AddressesThatDoNotFitTheLengthByteAreRejected) {
    const std::string longest(255, '1');
    decode(256, longest, longest);
    ASSERT_EQ(1u, messages.size());
    EXPECT_EQ(message_for(1000, longest, longest, 0, kPacket), messages[0]);

    decode(256, longest + "1", "10.1.2.3");
    decode(256, "10.0.0.1", longest + "22");
    {
        ScriptedTdh tdh;
        tdh.report_size(6, 0);  // device_ip's size query
        decode(256, "10.0.0.1", "10.1.2.3");
    }
    EXPECT_EQ(1u, messages.size());
    EXPECT_EQ((std::vector<std::string>{"ERROR - Process ETW event failed: Invalid server_ip size 257",
                                        "ERROR - Process ETW event failed: Invalid device_ip size 258",
                                        "ERROR - Process ETW event failed: Invalid device_ip size 0"}),
              log.messages());
    EXPECT_EQ(3u, counters.bad_size.get());
    expect_next_event_decodes();
}

TEST_F(DecoderTest, EachTdhFailureIsOneLineAndDropsOnlyThatEvent) {
    const std::size_t info = 5, size = 6, get = 7;  // places in tally()
    const struct {
        std::size_t call;
        ULONG status;
        std::string line;
        std::size_t counted;
    } cases[] = {
        {0, ERROR_NOT_FOUND, "ERROR - TdhGetEventInformation() failed: " + status_text(ERROR_NOT_FOUND),
         info},
        {0, ERROR_SUCCESS, "ERROR - TdhGetEventInformation() failed: " + status_text(0), info},
        {1, ERROR_ACCESS_DENIED, status_failure("TdhGetEventInformation()", ERROR_ACCESS_DENIED), info},
        {2, ERROR_NOT_FOUND, status_failure("TdhGetPropertySize(is_tcp)", ERROR_NOT_FOUND), size},
        {3, ERROR_INSUFFICIENT_BUFFER, status_failure("TdhGetProperty(is_tcp)", ERROR_INSUFFICIENT_BUFFER), get},
        {4, ERROR_NOT_FOUND, status_failure("TdhGetPropertySize(server_ip)", ERROR_NOT_FOUND), size},
        {5, ERROR_INVALID_PARAMETER, status_failure("TdhGetProperty(server_ip)", ERROR_INVALID_PARAMETER), get},
        {6, ERROR_NOT_FOUND, status_failure("TdhGetPropertySize(device_ip)", ERROR_NOT_FOUND), size},
        {7, ERROR_INVALID_PARAMETER, status_failure("TdhGetProperty(device_ip)", ERROR_INVALID_PARAMETER), get},
        {8, kStatusInvalidData, status_failure("TdhGetPropertySize(packet_data)", kStatusInvalidData), size},
        {9, ERROR_INSUFFICIENT_BUFFER, status_failure("TdhGetProperty(packet_data)", ERROR_INSUFFICIENT_BUFFER),
         get},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.call);
        kr::test::LogCapture case_log;
        DecoderCounters case_counters;
        session.counters = &case_counters;
        messages.clear();
        {
            ScriptedTdh tdh;
            tdh.fail_call(c.call, c.status);
            decode(256, "192.0.2.1", "192.0.2.10");
            EXPECT_EQ(c.call + 1, tdh.calls().size());
        }
        EXPECT_TRUE(messages.empty());
        EXPECT_EQ(std::vector<std::string>{c.line}, case_log.messages());
        // Only this reason, and the event is seen once its ID is known.
        std::vector<std::uint64_t> want(11, 0);
        want[c.counted] = 1;
        want[0] = c.call < 2 ? 0 : 1;
        EXPECT_EQ(want, tally(case_counters));
        expect_next_event_decodes();
        EXPECT_EQ(1u, case_counters.events.get());
    }
}

TEST_F(DecoderTest, ReallocFailureOfEachBufferKeepsEarlierGrowth) {
    const char* names[] = {"event_info", "server_ip", "device_ip", "packet_data", "message"};
    for (std::size_t k = 0; k < 5; ++k) {
        SCOPED_TRACE(names[k]);
        EtwSession fresh;
        DecoderCounters fresh_counters;
        fresh.message_callback = collect;
        fresh.callback_context = &messages;
        fresh.counters = &fresh_counters;
        kr::test::LogCapture case_log;
        messages.clear();
        {
            ReallocScript memory;
            memory.fail_call(k);
            const EVENT_RECORD* record =
                builder.build(257, at_second(1000), 0, "192.0.2.1", "192.0.2.10", kPacket.data(), 12);
            decode_event(fresh, record);
            EXPECT_EQ(k + 1, memory.sizes().size());
        }
        EXPECT_TRUE(messages.empty());
        EXPECT_EQ(std::vector<std::string>{"ERROR - Process ETW event failed: " +
                                           error::crt_failure_text(std::string("realloc(") + names[k] + ")", ENOMEM)},
                  case_log.messages());
        EXPECT_EQ(1u, fresh_counters.alloc_failed.get());
        EXPECT_EQ(0u, fresh_counters.events.get());
        const DecoderState& d = fresh.decoder;
        const bool grown[] = {d.event_info != nullptr, d.server_ip != nullptr, d.device_ip != nullptr,
                              d.packet_data != nullptr, d.message != nullptr};
        for (std::size_t i = 0; i < 5; ++i) EXPECT_EQ(i < k, grown[i]) << names[i];

        decode_event(fresh, builder.build(257, at_second(1000), 0, "192.0.2.1", "192.0.2.10", kPacket.data(), 12));
        ASSERT_EQ(1u, messages.size());
        EXPECT_EQ(message_for(1000, "192.0.2.10", "192.0.2.1", 0, kPacket), messages[0]);
    }
}

TEST_F(DecoderTest, BuffersGrowToExactSizesAndOnlyWhenTooSmall) {
    ReallocScript memory;
    const Bytes big(300, 0x55), small(20, 0x66), bigger(400, 0x77);
    decode(257, "192.0.2.100", "198.51.100.200", big);
    ULONG info_size = 0;
    const EVENT_RECORD* record = builder.build(257, 0, 0, "", "", nullptr, 0);
    dns_server_catalog().event_information(record, nullptr, &info_size);
    const DecoderState& d = session.decoder;
    EXPECT_EQ(info_size, d.event_info_capacity);
    EXPECT_EQ(12u, d.server_ip_capacity);
    EXPECT_EQ(15u, d.device_ip_capacity);
    EXPECT_EQ(300u, d.packet_data_capacity);
    EXPECT_EQ(8 + 11 + 14 + 300, d.message_capacity);
    EXPECT_EQ(5u, memory.sizes().size());

    memory.clear();
    {
        ScriptedTdh tdh;
        decode(257, "10.0.0.1", "10.0.0.2", small);
        // Declared room: one byte for is_tcp, each address buffer's capacity
        // (grown by the first event), and for the packet its own size, not
        // the larger capacity.
        ASSERT_EQ(10u, tdh.calls().size());
        const std::pair<std::size_t, ULONG> declared[] = {{3, 1}, {5, 12}, {7, 15}, {9, 20}};
        for (const auto& [call, size] : declared) {
            EXPECT_EQ(ScriptedTdh::Call::kProperty, tdh.calls()[call].call) << call;
            EXPECT_EQ(size, tdh.calls()[call].buffer_size) << call;
        }
    }
    EXPECT_TRUE(memory.sizes().empty());
    EXPECT_EQ(20u, d.packet_data_length);
    EXPECT_EQ(8 + 8 + 8 + 20, d.message_length);

    decode(257, "192.0.2.1", "198.51.100.2000", bigger);
    EXPECT_EQ((std::vector<std::size_t>{16, 400, 8 + 15 + 9 + 400}), memory.sizes());
    EXPECT_EQ(16u, d.device_ip_capacity);
    EXPECT_EQ(12u, d.server_ip_capacity);
    ASSERT_EQ(3u, messages.size());
    EXPECT_EQ(message_for(1000, "198.51.100.2000", "192.0.2.1", 0, bigger), messages[2]);
}

TEST_F(DecoderTest, WithoutCallbackTheMessageIsBuiltAndDiscarded) {
    session.message_callback = nullptr;
    decode(256, "192.0.2.1", "192.0.2.10");
    const Bytes expected = message_for(1000, "192.0.2.10", "192.0.2.1", 0, kPacket);
    ASSERT_EQ(static_cast<std::int32_t>(expected.size()), session.decoder.message_length);
    EXPECT_EQ(0, std::memcmp(expected.data(), session.decoder.message, expected.size()));
    EXPECT_TRUE(messages.empty());
    EXPECT_TRUE(log.messages().empty());
}

TEST_F(DecoderTest, CallbackExceptionLeavesTheDecoder) {
    session.message_callback = [](const std::uint8_t*, std::uint32_t, void*) -> int {
        throw kr::sensor::SensorError("queue too small");
    };
    EXPECT_THROW(decode(256, "192.0.2.1", "192.0.2.10"), kr::sensor::SensorError);
    session.message_callback = collect;
    expect_next_event_decodes();
    EXPECT_TRUE(log.messages().empty());
}

TEST_F(DecoderTest, OversizedPacketSizeIsRejectedBeforeGrowth) {
    ScriptedTdh tdh;
    tdh.report_size(8, 0xFFFFFFF0u);
    decode(256, "192.0.2.1", "192.0.2.10");
    EXPECT_EQ(nullptr, session.decoder.packet_data);
    EXPECT_EQ(std::vector<std::string>{"ERROR - Process ETW event failed: Invalid packet_data size 4294967280"},
              log.messages());
    EXPECT_EQ(1u, counters.bad_size.get());
}

}  // namespace
}  // namespace kr::capture
