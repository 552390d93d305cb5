#pragma once
// Turns one DNS server trace event into one event message:
//   02 | time (4, big-endian seconds since 1970) | Ld | device ip | Ls | server ip | tcp | packet
// and hands it to the session's message callback. Runs on the session thread.
#include <cstdint>

#include "capture/etw_types.h"
#include "log/counter.h"

namespace kr::capture {

// (message bytes, length, context). The bytes are valid only during the call.
using MessageCallback = int (*)(const std::uint8_t* data, std::uint32_t length, void* context);

// {EB79061A-A566-4698-9119-3ED2807060E7}
inline constexpr GUID kDnsServerProviderGuid = {0xEB79061A, 0xA566, 0x4698, {0x91, 0x19, 0x3E, 0xD2, 0x80, 0x70, 0x60, 0xE7}};
constexpr std::int64_t kEpochOffset = 116444736000000000LL;  // 1601 -> 1970 in 100 ns units

// Reusable buffers of one session. They grow to exactly the size needed,
// never shrink, and are freed by decoder_release.
struct DecoderState {
    std::uint8_t* event_info = nullptr;
    std::uint32_t event_info_capacity = 0;
    std::uint8_t* device_ip = nullptr;
    std::int32_t device_ip_length = 0;
    std::uint32_t device_ip_capacity = 0;
    std::uint8_t* server_ip = nullptr;
    std::int32_t server_ip_length = 0;
    std::uint32_t server_ip_capacity = 0;
    std::uint8_t* packet_data = nullptr;
    std::uint32_t packet_data_length = 0;
    std::uint32_t packet_data_capacity = 0;
    std::uint8_t* message = nullptr;
    std::int32_t message_length = 0;
    std::int32_t message_capacity = 0;
    std::uint8_t is_tcp = 0;
    std::int64_t epoch_offset = kEpochOffset;
};

void decoder_release(DecoderState& state);

// What the decoder saw and why it dropped events; written on the session
// thread, read from any thread. Other providers and event IDs are no loss
// and are not counted.
struct DecoderCounters {
    kr::log::Counter seen[3];         // events 256, 257, 258 of the DNS server's provider
    kr::log::Counter events;          // messages built and handed to the callback
    kr::log::Counter non_ipv4;        // client address not IPv4 text (nor IPv6 when allowed)
    kr::log::Counter tdh_info_failed;  // TdhGetEventInformation
    kr::log::Counter tdh_size_failed;  // TdhGetPropertySize
    kr::log::Counter tdh_get_failed;   // TdhGetProperty
    kr::log::Counter no_packet_field;  // schema without the packet property
    kr::log::Counter bad_size;        // address or packet size out of range
    kr::log::Counter alloc_failed;    // a buffer could not grow
};

struct EtwSession;

// Decodes one record with the session's decoder state and calls the
// session's message callback, counting into the session's counters (if any). Every failure is one "ERROR - " log line and
// drops only this event; only an exception from the message callback leaves.
void decode_event(EtwSession& session, const EVENT_RECORD* record);

}  // namespace kr::capture
