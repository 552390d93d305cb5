#pragma once
// Builds EVENT_RECORDs whose user data the TDH substitute can read: for tests,
// and for capture sources that turn packets seen elsewhere into the events
// the decoder consumes. Each builder owns one record and one user-data block,
// reused from build to build: it allocates only when constructed. A returned
// record stays valid until the next build on the same builder.
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "capture/etw_types.h"
#include "substitute/tdh_substitute.h"

namespace kr::substitute {

// Writes user data field by field, in any shape (for records the catalog of
// a test describes, or deliberately malformed ones).
class EventRecordBuilder {
public:
    static constexpr std::size_t kMaxUserData = 65535;  // UserDataLength is 16 bits

    EventRecordBuilder();

    void start(const GUID& provider, std::uint16_t event_id, std::int64_t timestamp);
    void put_u8(std::uint8_t value);
    void put_u16(std::uint16_t value);  // little-endian
    void put_u32(std::uint32_t value);  // little-endian
    void put_text(std::string_view text);  // the bytes, then a NUL
    void put_bytes(const void* data, std::size_t size);
    // The record, or null when the user data outgrew kMaxUserData.
    const EVENT_RECORD* finish();

    // The record as it stands, for tests that change header fields.
    EVENT_RECORD& record() { return record_; }

    // The next `size` bytes of user data to write directly, or null (and the
    // record lost) when they would outgrow kMaxUserData.
    std::uint8_t* reserve(std::size_t size);

private:
    EVENT_RECORD record_{};
    std::unique_ptr<std::uint8_t[]> data_;
    std::size_t size_ = 0;
    bool overflow_ = false;
};

// Builds events of the DNS server provider, 256 to 258, in the substitute's
// schema. The transport flag, the addresses and the packet come from the
// caller; XID, Flags, RCODE and the header bits are taken from the packet's
// header when it has one; the other properties are zero or empty.
class DnsEventBuilder {
public:
    DnsEventBuilder();

    // Null when the event cannot be represented: an ID without a schema, an
    // address with a NUL inside, or user data over 65535 bytes.
    // timestamp: 100-ns units since 1601-01-01 UTC.
    const EVENT_RECORD* build(std::uint16_t event_id, std::int64_t timestamp, std::uint8_t tcp,
                              std::string_view server_ip, std::string_view client_ip, const std::uint8_t* packet,
                              std::uint32_t packet_size);

private:
    // What each property of a schema is filled with, worked out once.
    enum class Value : std::uint8_t {
        kTcp, kServerIp, kClientIp, kXid, kFlags, kRcode, kRd, kAa, kAd, kBufferSize, kPacket,
        kZero8, kZero16, kZero32, kEmptyText,
    };
    struct Plan {
        std::uint16_t event_id = 0;
        std::vector<Value> values;
        std::size_t fixed_size = 0;  // the user data less the addresses and the packet
    };

    EventRecordBuilder builder_;
    std::vector<Plan> plans_;
};

}  // namespace kr::substitute
