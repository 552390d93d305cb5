#include "model/message.h"

#include <gtest/gtest.h>

#include "tests/support/wire.h"

namespace kr::collector {
namespace {

using test::ByteVector;

// The 39-byte message of an event at 2026-12-07T06:20:00Z from 192.0.2.10
// to 192.0.2.1 over UDP with a 12-byte packet, written out byte by byte.
const ByteVector kExample = {
    0x02, 0x6B, 0x16, 0x50, 0x10,                                      // format, time 1796624400
    0x0A, '1', '9', '2', '.', '0', '.', '2', '.', '1', '0',            // device address
    0x09, '1', '9', '2', '.', '0', '.', '2', '.', '1',                 // server address
    0x00,                                                              // transport flag
    0x12, 0x34, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // DNS header, no question
};

TEST(EventMessage, ReadsTheFieldsOfTheDocumentedExample) {
    ASSERT_EQ(kExample.size(), 39u);
    EventMessage event;
    std::string error;
    ASSERT_TRUE(parse_event(Bytes(kExample.data(), kExample.size()), event, error)) << error;
    EXPECT_EQ(event.time, 1796624400u);
    EXPECT_EQ(event.client, "192.0.2.10");
    EXPECT_EQ(event.server, "192.0.2.1");
    EXPECT_FALSE(event.tcp());
    ASSERT_EQ(event.packet.size, 12u);
    EXPECT_EQ(event.packet.data, kExample.data() + 27);
    EXPECT_EQ(test::event_message(1796624400, "192.0.2.10", "192.0.2.1", 0, ByteVector(kExample.begin() + 27, kExample.end())),
              kExample);
}

TEST(EventMessage, TakesAnyNonZeroTransportFlagAsTcpAndAllowsAnEmptyPacket) {
    for (std::uint8_t flag : {1, 2, 255}) {
        const ByteVector bytes = test::event_message(1, "", "", flag, {});
        EventMessage event;
        std::string error;
        ASSERT_TRUE(parse_event(Bytes(bytes.data(), bytes.size()), event, error)) << error;
        EXPECT_TRUE(event.tcp());
        EXPECT_EQ(event.transport, flag);
        EXPECT_EQ(event.packet.size, 0u);
        EXPECT_EQ(event.client, "");
    }
}

TEST(EventMessage, NamesEachKindOfMalformedMessage) {
    ByteVector device_overrun = test::event_message(1, "192.0.2.10", "192.0.2.1", 0, {});
    device_overrun[5] = 40;  // device address length beyond the record
    ByteVector server_overrun = test::event_message(1, "192.0.2.10", "192.0.2.1", 0, {});
    server_overrun[16] = 11;  // one byte more than is left before the end
    const struct {
        ByteVector bytes;
        std::string error;
    } cases[] = {
        {{}, "empty record"},
        {test::hello(), "bad format byte 0x01 (expected 2, an event message)"},
        {{0x07, 0, 0, 0, 0, 0, 0, 0}, "bad format byte 0x07 (expected 2, an event message)"},
        {{0x02, 0, 0, 0}, "event message of 4 bytes ends before the device address length"},
        {{0x02, 0, 0, 0, 0}, "event message of 5 bytes ends before the device address length"},
        {device_overrun, "device address length 40 overruns the 27-byte record"},
        {{0x02, 0, 0, 0, 0, 2, 'a', 'b'}, "event message ends before the server address length"},
        {server_overrun, "server address length 11 overruns the 27-byte record"},
        {{0x02, 0, 0, 0, 0, 1, 'a', 1, 'b'}, "event message ends before the transport flag"},
    };
    for (const auto& c : cases) {
        EventMessage event;
        std::string error;
        EXPECT_FALSE(parse_event(Bytes(c.bytes.data(), c.bytes.size()), event, error));
        EXPECT_EQ(error, c.error);
    }
}

TEST(Hello, ReadsTheVersionAndRejectsAnythingElse) {
    const ByteVector good = test::hello("3.6.8");
    std::string_view version;
    std::string error;
    ASSERT_TRUE(parse_hello(Bytes(good.data(), good.size()), version, error));
    EXPECT_EQ(version, "3.6.8");

    const struct {
        ByteVector bytes;
        std::string error;
    } cases[] = {
        {{}, "empty record"},
        {{0x01}, "hello without a version text"},
        {test::event_message(1, "a", "b", 0, {}), "bad format byte 0x02 (expected 1, a hello, first on a connection)"},
    };
    for (const auto& c : cases) {
        EXPECT_FALSE(parse_hello(Bytes(c.bytes.data(), c.bytes.size()), version, error));
        EXPECT_EQ(error, c.error);
    }
}

}  // namespace
}  // namespace kr::collector
