#include "capture/decoder.h"

#include <cerrno>
#include <cstring>
#include <string>

#include "capture/etw_session.h"
#include "capture/tdh_api.h"
#include "error/error.h"
#include "log/log.h"
#include "thread/crt.h"

namespace kr::capture {

namespace {

constexpr ULONG kWholeProperty = 0xFFFFFFFFu;
constexpr std::size_t kPropertyArrayOffset = offsetof(TRACE_EVENT_INFO, EventPropertyInfoArray);
constexpr std::size_t kPropertyCountOffset = offsetof(TRACE_EVENT_INFO, PropertyCount);
constexpr std::size_t kNameOffsetOffset = offsetof(EVENT_PROPERTY_INFO, NameOffset);
// An address property holds at most 255 characters and its NUL: the
// message's length byte must match the bytes that follow it.
constexpr ULONG kMaxAddressSize = 256;
// Keeps 8 + Ld + Ls + N within the message's signed 32-bit length.
constexpr ULONG kMaxPacketSize = 0x7FFFFFFFu - 8 - 2 * 255;

constexpr char kEventFailed[] = "ERROR - Process ETW event failed: %s";

// Failure paths only: composing the text allocates, which the decoding path
// must not. Should even that fail, the line still names the call. TDH
// statuses are system errors; a failed realloc passes the C runtime's text.
void log_event_failure(const char* call, std::int32_t code,
                       std::string (*compose)(std::string_view, std::int32_t) = error::failure_text) {
    try {
        log::log_print(kEventFailed, compose(call, code).c_str());
    } catch (...) {
        log::log_print("ERROR - Process ETW event failed: %s failed", call);
    }
}

// A TDH status, with the Windows text on every platform.
void log_status_failure(const char* call, ULONG status) {
    std::int32_t code = static_cast<std::int32_t>(status);
    try {
        code = error::windows_error_code(status);
    } catch (...) {
    }
    log_event_failure(call, code);
}

// The growing half of grow(), out of line: the buffers reach their size
// within the first events, and the check alone then runs five times per event.
template <class Capacity>
[[gnu::noinline]] bool grow_to(std::uint8_t*& block, Capacity& capacity, std::uint32_t needed, const char* call) {
    // A zero-size request takes one byte, so that null always means failure
    // (realloc of 0 bytes may legitimately return null).
    void* grown = kr::thread::mem_realloc(block, needed == 0 ? 1 : needed);
    if (grown == nullptr) {
        const int code = errno;
        log_event_failure(call, code, error::crt_failure_text);
        return false;
    }
    block = static_cast<std::uint8_t*>(grown);
    capacity = static_cast<Capacity>(needed);
    return true;
}

// Grows a buffer to exactly `needed` bytes when it is missing or smaller;
// on failure the old block and capacity stay and the failure is logged.
template <class Capacity>
bool grow(std::uint8_t*& block, Capacity& capacity, std::uint32_t needed, const char* call) {
    if (block != nullptr && static_cast<std::int64_t>(capacity) >= static_cast<std::int64_t>(needed)) return true;
    return grow_to(block, capacity, needed, call);
}

// Reads the event information block filled by TDH; `size` bytes of it are valid.
class EventInfo {
public:
    EventInfo(const std::uint8_t* block, ULONG size) : block_(block), size_(size) {}

    // 0 when the block is too short to hold the count.
    ULONG property_count() const {
        return size_ < kPropertyCountOffset + sizeof(ULONG) ? 0 : read_ulong(kPropertyCountOffset);
    }

    // Entries that lie inside the filled block; the search never looks further.
    ULONG entries_present() const {
        return size_ < kPropertyArrayOffset
                   ? 0
                   : static_cast<ULONG>((size_ - kPropertyArrayOffset) / sizeof(EVENT_PROPERTY_INFO));
    }

    // Low byte of the first UTF-16LE character of property i's name (0 when
    // the name lies outside the block).
    std::uint8_t name_initial(ULONG i) const {
        ULONG offset = name_offset(i);
        return offset < size_ ? block_[offset] : 0;
    }

    PROPERTY_DATA_DESCRIPTOR descriptor(ULONG i) const {
        PROPERTY_DATA_DESCRIPTOR d{};
        d.PropertyName = reinterpret_cast<std::uintptr_t>(block_ + name_offset(i));
        d.ArrayIndex = kWholeProperty;
        d.Reserved = 0;
        return d;
    }

private:
    ULONG name_offset(ULONG i) const {
        return read_ulong(kPropertyArrayOffset + i * sizeof(EVENT_PROPERTY_INFO) + kNameOffsetOffset);
    }
    ULONG read_ulong(std::size_t offset) const {
        ULONG value;
        std::memcpy(&value, block_ + offset, sizeof value);
        return value;
    }

    const std::uint8_t* block_;
    ULONG size_;
};

struct AddressProperty {
    const char* label;
    const char* size_call;
    const char* realloc_call;
    const char* get_call;
};
constexpr AddressProperty kServerIp{"server_ip", "TdhGetPropertySize(server_ip)", "realloc(server_ip)",
                                    "TdhGetProperty(server_ip)"};
constexpr AddressProperty kDeviceIp{"device_ip", "TdhGetPropertySize(device_ip)", "realloc(device_ip)",
                                    "TdhGetProperty(device_ip)"};

using kr::log::Counter;

// Counts into the session's counters, when it has them.
void tally(DecoderCounters* counters, Counter DecoderCounters::*which) {
    if (counters != nullptr) (counters->*which).add();
}

// Steps shared by both addresses: size, growth, length, value.
bool fetch_address(const TdhApi& tdh, EVENT_RECORD* event, const EventInfo& info, ULONG position,
                   const AddressProperty& property, std::uint8_t*& block, std::int32_t& length,
                   std::uint32_t& capacity, DecoderCounters* counters) {
    PROPERTY_DATA_DESCRIPTOR descriptor = info.descriptor(position);
    ULONG size = 0;
    ULONG status = tdh.get_property_size(event, 0, nullptr, 1, &descriptor, &size);
    if (status != ERROR_SUCCESS) {
        tally(counters, &DecoderCounters::tdh_size_failed);
        log_status_failure(property.size_call, status);
        return false;
    }
    if (size == 0 || size > kMaxAddressSize) {
        tally(counters, &DecoderCounters::bad_size);
        log::log_print("ERROR - Process ETW event failed: Invalid %s size %lu", property.label,
                       static_cast<unsigned long>(size));
        return false;
    }
    if (!grow(block, capacity, size, property.realloc_call)) {
        tally(counters, &DecoderCounters::alloc_failed);
        return false;
    }
    length = static_cast<std::int32_t>(size) - 1;
    status = tdh.get_property(event, 0, nullptr, 1, &descriptor, capacity, block);
    if (status != ERROR_SUCCESS) {
        tally(counters, &DecoderCounters::tdh_get_failed);
        log_status_failure(property.get_call, status);
        return false;
    }
    return true;
}

// (timestamp - epoch) / 10000000, truncated toward zero, without forming the
// difference itself, which leaves the 64-bit range for time stamps near its ends.
// Out of line: inlined, the compiler judged the end of decode_event rarely
// reached and divided with four 64-bit idiv instructions (tens of cycles
// each) instead of multiplying.
[[gnu::noinline]] std::int64_t seconds_between(std::int64_t timestamp, std::int64_t epoch) {
    constexpr std::int64_t kUnit = 10000000;
    std::int64_t whole = timestamp / kUnit - epoch / kUnit;
    std::int64_t rest = timestamp % kUnit - epoch % kUnit;  // within two units either way
    whole += rest / kUnit;
    rest %= kUnit;
    if (whole > 0 && rest < 0) --whole;
    if (whole < 0 && rest > 0) ++whole;
    return whole;
}

// Only clients written as IPv4 dotted text are wanted: a colon means IPv6, a
// letter a name. Plain ASCII tests: the "C" locale's isalpha. One table
// lookup per character: the test runs on every event's client address.
struct NotIpv4Characters {
    bool set[256] = {};
    constexpr NotIpv4Characters() {
        set[static_cast<unsigned char>(':')] = true;
        for (int c = 'A'; c <= 'Z'; ++c) set[c] = set[c + ('a' - 'A')] = true;
    }
};
constexpr NotIpv4Characters kNotIpv4;

bool is_ipv4_text(const std::uint8_t* text, std::int32_t length) {
    for (std::int32_t i = 0; i < length; ++i) {
        if (kNotIpv4.set[text[i]]) return false;
    }
    return true;
}

// IPv6 text: hex digits and colons, dots for an embedded IPv4 tail, at least
// one colon. Names and zone suffixes ("%eth0") are not.
bool is_ipv6_text(const std::uint8_t* text, std::int32_t length) {
    bool colon = false;
    for (std::int32_t i = 0; i < length; ++i) {
        const std::uint8_t c = text[i];
        colon = colon || c == ':';
        const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        if (!hex && c != ':' && c != '.') return false;
    }
    return colon;
}

}  // namespace

void decode_event(EtwSession& session, const EVENT_RECORD* record) {
    if (record == nullptr ||
        std::memcmp(&record->EventHeader.ProviderId, &kDnsServerProviderGuid, sizeof(GUID)) != 0) {
        return;
    }
    DecoderState& s = session.decoder;
    DecoderCounters* const counters = session.counters;
    const TdhApi& tdh = tdh_api();
    // TDH takes a non-const record but only reads it.
    EVENT_RECORD* event = const_cast<EVENT_RECORD*>(record);
    // Failures on events of other IDs are logged as ever but are no loss.
    const USHORT event_id = record->EventHeader.EventDescriptor.Id;
    DecoderCounters* const loss_counters = event_id >= 256 && event_id <= 258 ? counters : nullptr;

    ULONG info_size = 0;
    ULONG status = tdh.get_event_information(event, 0, nullptr, nullptr, &info_size);
    if (status != ERROR_INSUFFICIENT_BUFFER) {
        tally(loss_counters, &DecoderCounters::tdh_info_failed);
        try {
            log::log_print("ERROR - %s",
                           error::failure_text("TdhGetEventInformation()", error::windows_error_code(status)).c_str());
        } catch (...) {
            log::log_print("ERROR - TdhGetEventInformation() failed");
        }
        return;
    }
    if (!grow(s.event_info, s.event_info_capacity, info_size, "realloc(event_info)")) {
        tally(loss_counters, &DecoderCounters::alloc_failed);
        return;
    }
    status = tdh.get_event_information(event, 0, nullptr, reinterpret_cast<PTRACE_EVENT_INFO>(s.event_info),
                                       &info_size);
    if (status != ERROR_SUCCESS) {
        tally(loss_counters, &DecoderCounters::tdh_info_failed);
        log_status_failure("TdhGetEventInformation()", status);
        return;
    }

    if (event_id < 256 || event_id > 258) return;
    if (counters != nullptr) counters->seen[event_id - 256].add();

    const EventInfo info(s.event_info, info_size < s.event_info_capacity ? info_size : s.event_info_capacity);
    const ULONG count = info.property_count();
    const ULONG searchable = count < info.entries_present() ? count : info.entries_present();
    ULONG packet_position = 0;
    for (ULONG i = 4; i < searchable; ++i) {
        if (info.name_initial(i) == 'P' && info.name_initial(i - 1) == 'B') {
            packet_position = i;
            break;
        }
    }
    if (packet_position == 0) {
        tally(counters, &DecoderCounters::no_packet_field);
        log::log_print("ERROR - Process ETW event failed: Packet data index not found for event ID %d with "
                       "property count %d",
                       static_cast<int>(event_id), static_cast<int>(count));
        return;
    }

    PROPERTY_DATA_DESCRIPTOR descriptor = info.descriptor(0);
    ULONG size = 0;
    status = tdh.get_property_size(event, 0, nullptr, 1, &descriptor, &size);
    if (status != ERROR_SUCCESS) {
        tally(counters, &DecoderCounters::tdh_size_failed);
        log_status_failure("TdhGetPropertySize(is_tcp)", status);
        return;
    }
    status = tdh.get_property(event, 0, nullptr, 1, &descriptor, 1, &s.is_tcp);
    if (status != ERROR_SUCCESS) {
        tally(counters, &DecoderCounters::tdh_get_failed);
        log_status_failure("TdhGetProperty(is_tcp)", status);
        return;
    }

    if (!fetch_address(tdh, event, info, 1, kServerIp, s.server_ip, s.server_ip_length, s.server_ip_capacity,
                       counters)) {
        return;
    }
    if (!fetch_address(tdh, event, info, 2, kDeviceIp, s.device_ip, s.device_ip_length, s.device_ip_capacity,
                       counters)) {
        return;
    }
    if (!is_ipv4_text(s.device_ip, s.device_ip_length) &&
        (session.ipv4_clients_only || !is_ipv6_text(s.device_ip, s.device_ip_length))) {
        tally(counters, &DecoderCounters::non_ipv4);
        return;
    }

    descriptor = info.descriptor(packet_position);
    ULONG packet_size = 0;
    status = tdh.get_property_size(event, 0, nullptr, 1, &descriptor, &packet_size);
    if (status != ERROR_SUCCESS) {
        tally(counters, &DecoderCounters::tdh_size_failed);
        log_status_failure("TdhGetPropertySize(packet_data)", status);
        return;
    }
    if (packet_size > kMaxPacketSize) {
        tally(counters, &DecoderCounters::bad_size);
        log::log_print("ERROR - Process ETW event failed: Invalid packet_data size %lu",
                       static_cast<unsigned long>(packet_size));
        return;
    }
    if (!grow(s.packet_data, s.packet_data_capacity, packet_size, "realloc(packet_data)")) {
        tally(counters, &DecoderCounters::alloc_failed);
        return;
    }
    s.packet_data_length = packet_size;

    const std::uint32_t ld = static_cast<std::uint32_t>(s.device_ip_length);
    const std::uint32_t ls = static_cast<std::uint32_t>(s.server_ip_length);
    const std::uint32_t total = ld + ls + packet_size + 8;
    if (!grow(s.message, s.message_capacity, total, "realloc(message)")) {
        tally(counters, &DecoderCounters::alloc_failed);
        return;
    }
    s.message_length = static_cast<std::int32_t>(total);

    std::uint8_t* m = s.message;
    const std::int64_t seconds = seconds_between(record->EventHeader.TimeStamp.QuadPart, s.epoch_offset);
    const std::uint32_t time = static_cast<std::uint32_t>(seconds);
    m[0] = 2;
    m[1] = static_cast<std::uint8_t>(time >> 24);
    m[2] = static_cast<std::uint8_t>(time >> 16);
    m[3] = static_cast<std::uint8_t>(time >> 8);
    m[4] = static_cast<std::uint8_t>(time);
    m[5] = static_cast<std::uint8_t>(ld);
    std::memcpy(m + 6, s.device_ip, ld);
    m[6 + ld] = static_cast<std::uint8_t>(ls);
    std::memcpy(m + 7 + ld, s.server_ip, ls);
    m[7 + ld + ls] = s.is_tcp;
    // Straight into place. The declared size is the room left in the message
    // (N), not the sizing buffer's capacity, which may be larger after a
    // bigger earlier event and would overstate the space.
    status = tdh.get_property(event, 0, nullptr, 1, &descriptor, packet_size, m + 8 + ld + ls);
    if (status != ERROR_SUCCESS) {
        tally(counters, &DecoderCounters::tdh_get_failed);
        log_status_failure("TdhGetProperty(packet_data)", status);
        return;
    }

    tally(counters, &DecoderCounters::events);
    if (session.message_callback != nullptr) {
        session.message_callback(s.message, total, session.callback_context);
    }
}

void decoder_release(DecoderState& state) {
    kr::thread::mem_free(state.event_info);
    kr::thread::mem_free(state.device_ip);
    kr::thread::mem_free(state.server_ip);
    kr::thread::mem_free(state.packet_data);
    kr::thread::mem_free(state.message);
    const std::int64_t epoch_offset = state.epoch_offset;
    state = DecoderState{};
    state.epoch_offset = epoch_offset;
}

}  // namespace kr::capture
