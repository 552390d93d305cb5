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
            switch (value) {
            case Value::kServerIp:
            case Value::kClientIp: plan.fixed_size += 1; break;  // the NUL
            case Value::kPacket: break;
            case Value::kEmptyText:
            case Value::kTcp:
            case Value::kRcode:
            case Value::kRd:
            case Value::kAa:
            case Value::kAd:
            case Value::kZero8: plan.fixed_size += 1; break;
            case Value::kZero32: plan.fixed_size += 4; break;
            default: plan.fixed_size += 2; break;
            }
        }
        plans_.push_back(std::move(plan));
    }
}

namespace {

std::uint8_t* put16(std::uint8_t* at, std::uint16_t value) {
    at[0] = static_cast<std::uint8_t>(value);
    at[1] = static_cast<std::uint8_t>(value >> 8);
    return at + 2;
}

// Copies the text and its NUL, and clears `whole` when the text holds a NUL
// of its own. Two library calls beat a loop that tests every byte.
std::uint8_t* put_text(std::uint8_t* at, std::string_view text, bool& whole) {
    if (!text.empty()) {
        whole = whole && std::memchr(text.data(), '\0', text.size()) == nullptr;
        std::memcpy(at, text.data(), text.size());
    }
    at[text.size()] = 0;
    return at + text.size() + 1;
}

}  // namespace

const EVENT_RECORD* DnsEventBuilder::build(std::uint16_t event_id, std::int64_t timestamp, std::uint8_t tcp,
                                           std::string_view server_ip, std::string_view client_ip,
                                           const std::uint8_t* packet, std::uint32_t packet_size) {
    const Plan* plan = nullptr;
    for (const Plan& candidate : plans_) {
        if (candidate.event_id == event_id) plan = &candidate;
    }
    if (plan == nullptr || packet_size > EventRecordBuilder::kMaxUserData) return nullptr;

    const std::uint16_t xid = packet_size >= 2 ? static_cast<std::uint16_t>((packet[0] << 8) | packet[1]) : 0;
    const std::uint16_t flags = packet_size >= 4 ? static_cast<std::uint16_t>((packet[2] << 8) | packet[3]) : 0;
    builder_.start(kDnsServerProviderGuid, event_id, timestamp);
    // The whole size is known up front: one reservation, then plain writes.
    std::uint8_t* at = builder_.reserve(plan->fixed_size + server_ip.size() + client_ip.size() + packet_size);
    if (at == nullptr) return nullptr;
    // A NUL inside an address would end its text early on the reading side.
    bool whole = true;
    for (Value value : plan->values) {
        switch (value) {
        case Value::kTcp: *at++ = tcp; break;
        case Value::kServerIp: at = put_text(at, server_ip, whole); break;
        case Value::kClientIp: at = put_text(at, client_ip, whole); break;
        case Value::kXid: at = put16(at, xid); break;
        case Value::kFlags: at = put16(at, flags); break;
        case Value::kRcode: *at++ = flags & 0x0F; break;
        case Value::kRd: *at++ = (flags >> 8) & 1; break;
        case Value::kAa: *at++ = (flags >> 10) & 1; break;
        case Value::kAd: *at++ = (flags >> 5) & 1; break;
        case Value::kBufferSize: at = put16(at, static_cast<std::uint16_t>(packet_size)); break;
        case Value::kPacket:
            if (packet_size != 0) std::memcpy(at, packet, packet_size);
            at += packet_size;
            break;
        case Value::kZero8:
        case Value::kEmptyText: *at++ = 0; break;
        case Value::kZero16: at = put16(at, 0); break;
        case Value::kZero32: at = put16(put16(at, 0), 0); break;
        }
    }
    return whole ? builder_.finish() : nullptr;
}

}  // namespace kr::substitute
