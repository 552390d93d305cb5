#include "substitute/event_builder.h"

#include <cstring>

#include "capture/decoder.h"

namespace kr::substitute {
using kr::capture::kDnsServerProviderGuid;

EventRecordBuilder::EventRecordBuilder() : data_(new std::uint8_t[kMaxUserData]) {}

void EventRecordBuilder::start(const GUID& provider, std::uint16_t event_id, std::int64_t timestamp) {
    record_ = EVENT_RECORD{};
    record_.EventHeader.Size = sizeof(EVENT_HEADER);
    record_.EventHeader.TimeStamp.QuadPart = timestamp;
    record_.EventHeader.ProviderId = provider;
    record_.EventHeader.EventDescriptor.Id = event_id;
    size_ = 0;
    overflow_ = false;
}

std::uint8_t* EventRecordBuilder::reserve(std::size_t size) {
    if (overflow_ || size > kMaxUserData - size_) {
        overflow_ = true;
        return nullptr;
    }
    std::uint8_t* at = data_.get() + size_;
    size_ += size;
    return at;
}

void EventRecordBuilder::put_u8(std::uint8_t value) {
    if (std::uint8_t* at = reserve(1)) at[0] = value;
}

void EventRecordBuilder::put_u16(std::uint16_t value) {
    if (std::uint8_t* at = reserve(2)) {
        at[0] = static_cast<std::uint8_t>(value);
        at[1] = static_cast<std::uint8_t>(value >> 8);
    }
}

void EventRecordBuilder::put_u32(std::uint32_t value) {
    if (std::uint8_t* at = reserve(4)) {
        for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

void EventRecordBuilder::put_text(std::string_view text) {
    if (std::uint8_t* at = reserve(text.size() + 1)) {
        if (!text.empty()) std::memcpy(at, text.data(), text.size());
        at[text.size()] = 0;
    }
}

void EventRecordBuilder::put_bytes(const void* data, std::size_t size) {
    std::uint8_t* at = reserve(size);
    if (at != nullptr && size != 0) std::memcpy(at, data, size);
}

const EVENT_RECORD* EventRecordBuilder::finish() {
    if (overflow_) return nullptr;
    record_.UserDataLength = static_cast<USHORT>(size_);
    record_.UserData = data_.get();
    return &record_;
}

DnsEventBuilder::DnsEventBuilder() {
    for (std::uint16_t id = 256; id <= 258; ++id) {
        const EventSchema* schema = dns_server_event_schema(id);
        Plan plan;
        plan.event_id = id;
        for (std::size_t i = 0; i < schema->count; ++i) {
            const std::string_view name = schema->fields[i].name;
            const FieldType type = schema->fields[i].type;
            Value value;
            if (name == "TCP") value = Value::kTcp;
            else if (name == "InterfaceIP") value = Value::kServerIp;
            else if (name == "Source" || name == "Destination") value = Value::kClientIp;
            else if (name == "XID") value = Value::kXid;
            else if (name == "Flags") value = Value::kFlags;
            else if (name == "RCODE") value = Value::kRcode;
            else if (name == "RD") value = Value::kRd;
            else if (name == "AA") value = Value::kAa;
            else if (name == "AD") value = Value::kAd;
            else if (type == FieldType::kLength) value = Value::kBufferSize;
            else if (type == FieldType::kBytes) value = Value::kPacket;
            else if (type == FieldType::kText) value = Value::kEmptyText;
            else if (type == FieldType::kUInt8) value = Value::kZero8;
            else if (type == FieldType::kUInt16) value = Value::kZero16;
            else value = Value::kZero32;
            plan.values.push_back(value);
        }
        plans_.push_back(std::move(plan));
    }
}

const EVENT_RECORD* DnsEventBuilder::build(std::uint16_t event_id, std::int64_t timestamp, std::uint8_t tcp,
                                           std::string_view server_ip, std::string_view client_ip,
                                           const std::uint8_t* packet, std::uint32_t packet_size) {
    const Plan* plan = nullptr;
    for (const Plan& candidate : plans_) {
        if (candidate.event_id == event_id) plan = &candidate;
    }
    // A NUL inside an address would end its text early on the reading side.
    if (plan == nullptr || packet_size > EventRecordBuilder::kMaxUserData ||
        server_ip.find('\0') != std::string_view::npos || client_ip.find('\0') != std::string_view::npos) {
        return nullptr;
    }

    const std::uint16_t xid = packet_size >= 2 ? static_cast<std::uint16_t>((packet[0] << 8) | packet[1]) : 0;
    const std::uint16_t flags = packet_size >= 4 ? static_cast<std::uint16_t>((packet[2] << 8) | packet[3]) : 0;
    builder_.start(kDnsServerProviderGuid, event_id, timestamp);
    for (Value value : plan->values) {
        switch (value) {
        case Value::kTcp: builder_.put_u8(tcp); break;
        case Value::kServerIp: builder_.put_text(server_ip); break;
        case Value::kClientIp: builder_.put_text(client_ip); break;
        case Value::kXid: builder_.put_u16(xid); break;
        case Value::kFlags: builder_.put_u16(flags); break;
        case Value::kRcode: builder_.put_u8(flags & 0x0F); break;
        case Value::kRd: builder_.put_u8((flags >> 8) & 1); break;
        case Value::kAa: builder_.put_u8((flags >> 10) & 1); break;
        case Value::kAd: builder_.put_u8((flags >> 5) & 1); break;
        case Value::kBufferSize: builder_.put_u16(static_cast<std::uint16_t>(packet_size)); break;
        case Value::kPacket: builder_.put_bytes(packet, packet_size); break;
        case Value::kZero8: builder_.put_u8(0); break;
        case Value::kZero16: builder_.put_u16(0); break;
        case Value::kZero32: builder_.put_u32(0); break;
        case Value::kEmptyText: builder_.put_text({}); break;
        }
    }
    return builder_.finish();
}

}  // namespace kr::substitute
