// Inputs found by the decoder's fuzzer that once read outside the event
// information block or overflowed; each must now give its ordinary result.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "capture/decoder.h"
#include "capture/etw_session.h"
#include "capture/tdh_api.h"
#include "substitute/event_builder.h"
#include "substitute/tdh_substitute.h"
#include "support/log_capture.h"
#include "thread/crt.h"

namespace kr::capture {
using kr::substitute::DnsEventBuilder;
using kr::substitute::tdh_substitute_api;

namespace {

using Bytes = std::vector<std::uint8_t>;

int collect(const std::uint8_t* data, std::uint32_t length, void* context) {
    static_cast<std::vector<Bytes>*>(context)->emplace_back(data, data + length);
    return 0;
}

// A helper whose event information is only `kShortInfo` bytes, less than the
// fixed part of TRACE_EVENT_INFO (the property count sits at offset 100).
constexpr ULONG kShortInfo = 50;
ULONG WINAPI short_information(PEVENT_RECORD, ULONG, PTDH_CONTEXT, PTRACE_EVENT_INFO buffer, ULONG* size) {
    if (buffer == nullptr) {
        *size = kShortInfo;
        return ERROR_INSUFFICIENT_BUFFER;
    }
    std::memset(buffer, 0, kShortInfo);
    *size = kShortInfo;
    return ERROR_SUCCESS;
}
ULONG WINAPI no_property_size(PEVENT_RECORD, ULONG, PTDH_CONTEXT, ULONG, PPROPERTY_DATA_DESCRIPTOR, ULONG*) {
    ADD_FAILURE() << "no property may be read";
    return ERROR_NOT_FOUND;
}
ULONG WINAPI no_property(PEVENT_RECORD, ULONG, PTDH_CONTEXT, ULONG, PPROPERTY_DATA_DESCRIPTOR, ULONG, PBYTE) {
    ADD_FAILURE() << "no property may be read";
    return ERROR_NOT_FOUND;
}

// Hands out blocks larger than asked whose spare bytes are 0xFF, so that a
// read past the requested size sees a property count of 0xFFFFFFFF.
void* padded_realloc(void* block, std::size_t size) {
    if (block != nullptr || size >= 256) return kr::thread::memory_platform_api().realloc(block, size);
    void* padded = kr::thread::memory_platform_api().malloc(256);
    if (padded != nullptr) std::memset(padded, 0xFF, 256);
    return padded;
}

TEST(DecoderHardening, InformationBlockShorterThanItsHeaderHasNoProperties) {
    kr::test::LogCapture log;
    const TdhApi saved_tdh = tdh_api();
    const kr::thread::MemoryApi saved_memory = kr::thread::memory_api();
    tdh_api() = TdhApi{short_information, no_property_size, no_property};
    kr::thread::memory_api().realloc = padded_realloc;
    std::vector<Bytes> messages;
    {
        EtwSession session;
        session.message_callback = collect;
        session.callback_context = &messages;
        EVENT_RECORD record{};
        record.EventHeader.ProviderId = kDnsServerProviderGuid;
        record.EventHeader.EventDescriptor.Id = 256;
        decode_event(session, &record);
    }
    kr::thread::memory_api() = saved_memory;
    tdh_api() = saved_tdh;
    EXPECT_TRUE(messages.empty());
    EXPECT_EQ(std::vector<std::string>{"ERROR - Process ETW event failed: Packet data index not found for event ID "
                                       "256 with property count 0"},
              log.messages());
}

TEST(DecoderHardening, TimeStampsAtTheEndsOfTheRangeGiveTheExactSeconds) {
    const TdhApi saved = tdh_api();
    tdh_api() = tdh_substitute_api();
    EtwSession session;
    std::vector<Bytes> messages;
    session.message_callback = collect;
    session.callback_context = &messages;
    DnsEventBuilder builder;
    const std::uint8_t packet[12] = {0x12, 0x34, 0x01};
    constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
    constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
    // (time stamp - 116444736000000000) / 10^7 truncated toward zero, low 32 bits.
    const struct {
        std::int64_t timestamp;
        std::uint32_t time;
    } cases[] = {
        {kMin, 2321193243u},                      // -933981677285
        {kMax, 159663333u},                       // 910692730085
        {kMin + kEpochOffset - 1, 1080764955u},   // the first one whose difference overflows
        {kEpochOffset - 1, 0},                    // -0.0000001 s truncates to 0
        {kEpochOffset - 10000001, 4294967295u},   // -1.0000001 s truncates to -1
        {0, 1240428288u},                         // -11644473600
        {kEpochOffset + 10000000 + 9999999, 1},
    };
    for (const auto& c : cases) {
        messages.clear();
        const EVENT_RECORD* record = builder.build(257, c.timestamp, 0, "192.0.2.1", "192.0.2.10", packet, 12);
        ASSERT_NE(nullptr, record);
        decode_event(session, record);
        ASSERT_EQ(1u, messages.size()) << c.timestamp;
        const Bytes& m = messages[0];
        const std::uint32_t time = (std::uint32_t{m[1]} << 24) | (std::uint32_t{m[2]} << 16) |
                                   (std::uint32_t{m[3]} << 8) | m[4];
        EXPECT_EQ(c.time, time) << c.timestamp;
    }
    tdh_api() = saved;
}

}  // namespace
}  // namespace kr::capture
