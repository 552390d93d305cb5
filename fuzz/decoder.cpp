// The event decoder against a trace data helper that the input scripts:
// every status, size, property value and byte of the event information block
// comes from the fuzzer, and so does every reallocation failure. Whenever a
// message comes out, it must be exactly the format the collector expects,
// built from what the helper answered:
//   02 | time | Ld | device (Ld) | Ls | server (Ls) | tcp | packet (N), length 8 + Ld + Ls + N.
// The helper also checks the decoder's side of each call: the declared
// buffer sizes are written in full (AddressSanitizer catches an overstated
// one), descriptors name positions inside the block it filled.
#include <fuzzer/FuzzedDataProvider.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "capture/decoder.h"
#include "capture/etw_session.h"
#include "capture/tdh_api.h"
#include "thread/crt.h"

namespace {

using namespace kr::capture;

void check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "decoder fuzzer: %s\n", what);
        std::abort();
    }
}

constexpr std::size_t kArrayOffset = offsetof(TRACE_EVENT_INFO, EventPropertyInfoArray);
constexpr std::size_t kCountOffset = offsetof(TRACE_EVENT_INFO, PropertyCount);
constexpr std::size_t kEntrySize = sizeof(EVENT_PROPERTY_INFO);
constexpr std::size_t kLargestAllocation = 1 << 20;  // larger reallocations fail, as on a starved system

enum class Kind { kInfoSize, kInfoFetch, kPropertySize, kProperty };

struct Call {
    explicit Call(Kind k) : kind(k) {}
    Kind kind;
    std::uint64_t name = 0;           // descriptor's PropertyName
    ULONG size = 0;                   // size reported, or buffer size declared
    ULONG status = 0;
    std::vector<std::uint8_t> bytes;  // the caller's buffer as the helper left it
    const std::uint8_t* buffer = nullptr;
};

struct Script {
    FuzzedDataProvider* in = nullptr;
    EtwSession* session = nullptr;
    std::vector<Call> calls;
    int messages = 0;
};
Script script;

ULONG pick_status(ULONG usual) {
    const std::uint8_t selector = script.in->ConsumeIntegral<std::uint8_t>();
    if (selector < 224) return usual;
    if (selector < 240) return ERROR_INSUFFICIENT_BUFFER;
    return script.in->ConsumeIntegral<ULONG>();
}

ULONG pick_size(ULONG small_limit) {
    const std::uint8_t selector = script.in->ConsumeIntegral<std::uint8_t>();
    if (selector < 200) return script.in->ConsumeIntegralInRange<ULONG>(0, small_limit);
    if (selector < 250) return script.in->ConsumeIntegralInRange<ULONG>(0, 70000);
    return script.in->ConsumeIntegral<ULONG>();
}

void check_descriptor(ULONG context_count, PTDH_CONTEXT context, ULONG count, PPROPERTY_DATA_DESCRIPTOR d) {
    check(context_count == 0 && context == nullptr, "TDH context passed");
    check(count == 1 && d != nullptr, "one descriptor per call");
    check(d->ArrayIndex == 0xFFFFFFFFu && d->Reserved == 0, "descriptor addresses the whole property");
}

ULONG WINAPI event_information(PEVENT_RECORD event, ULONG context_count, PTDH_CONTEXT context,
                               PTRACE_EVENT_INFO buffer, ULONG* size) {
    check(event != nullptr && size != nullptr, "event information: null argument");
    check(context_count == 0 && context == nullptr, "TDH context passed");
    Call call(buffer == nullptr ? Kind::kInfoSize : Kind::kInfoFetch);
    if (buffer == nullptr) {
        check(*size == 0, "size query without size 0");
        call.status = pick_status(ERROR_INSUFFICIENT_BUFFER);
        *size = pick_size(4096);
        call.size = *size;
        script.calls.push_back(call);
        return call.status;
    }
    const DecoderState& state = script.session->decoder;
    check(reinterpret_cast<std::uint8_t*>(buffer) == state.event_info, "fetch into another buffer");
    check(*size <= state.event_info_capacity, "fetch declares more than the buffer holds");
    auto* block = reinterpret_cast<std::uint8_t*>(buffer);
    const ULONG declared = *size;
    std::memset(block, 0xA5, declared);
    std::vector<std::uint8_t> bytes = script.in->ConsumeBytes<std::uint8_t>(declared);
    bytes.resize(declared, 0);
    // Mostly a block of the published shape: a property count and name
    // offsets that lead to names beginning with B, P or something else.
    if (declared >= kArrayOffset && script.in->ConsumeBool()) {
        const ULONG count = script.in->ConsumeIntegralInRange<ULONG>(0, 24);
        std::memcpy(bytes.data() + kCountOffset, &count, sizeof count);
        const std::size_t names = kArrayOffset + count * kEntrySize;
        for (ULONG i = 0; i < count && kArrayOffset + (i + 1) * kEntrySize <= declared; ++i) {
            ULONG offset = static_cast<ULONG>(names + 4 * i);
            if (offset + 4 > declared) offset = script.in->ConsumeIntegral<ULONG>();
            std::memcpy(bytes.data() + kArrayOffset + i * kEntrySize + 4, &offset, sizeof offset);
            if (std::uint64_t{offset} + 4 <= declared) {
                static const std::uint8_t kInitials[] = {'B', 'P', 'T', 'x'};
                bytes[offset] = kInitials[script.in->ConsumeIntegralInRange<int>(0, 3)];
                bytes[offset + 1] = bytes[offset + 2] = bytes[offset + 3] = 0;
            }
        }
    }
    if (declared != 0) std::memcpy(block, bytes.data(), declared);
    call.status = pick_status(ERROR_SUCCESS);
    // The helper may report the size it used, smaller or even larger.
    if (script.in->ConsumeIntegral<std::uint8_t>() >= 240) *size = pick_size(4096);
    call.size = *size;
    call.bytes = bytes;
    call.buffer = block;
    script.calls.push_back(call);
    return call.status;
}

ULONG WINAPI property_size(PEVENT_RECORD event, ULONG context_count, PTDH_CONTEXT context, ULONG count,
                           PPROPERTY_DATA_DESCRIPTOR d, ULONG* size) {
    check(event != nullptr && size != nullptr, "property size: null argument");
    check_descriptor(context_count, context, count, d);
    Call call(Kind::kPropertySize);
    call.name = d->PropertyName;
    call.status = pick_status(ERROR_SUCCESS);
    call.size = pick_size(24);
    if (call.status == ERROR_SUCCESS) *size = call.size;
    script.calls.push_back(call);
    return call.status;
}

ULONG WINAPI property(PEVENT_RECORD event, ULONG context_count, PTDH_CONTEXT context, ULONG count,
                      PPROPERTY_DATA_DESCRIPTOR d, ULONG buffer_size, PBYTE buffer) {
    check(event != nullptr, "property: null event");
    check_descriptor(context_count, context, count, d);
    check(buffer != nullptr || buffer_size == 0, "property: null buffer");
    Call call(Kind::kProperty);
    call.name = d->PropertyName;
    call.size = buffer_size;
    call.buffer = buffer;
    // Every declared byte must be writable.
    if (buffer_size != 0) std::memset(buffer, 0xA5, buffer_size);
    // The value: as long as the last size answer for this name, or not.
    ULONG length = 0;
    for (auto it = script.calls.rbegin(); it != script.calls.rend(); ++it) {
        if (it->kind == Kind::kPropertySize && it->name == call.name) {
            length = it->size;
            break;
        }
    }
    if (script.in->ConsumeIntegral<std::uint8_t>() >= 240) length = pick_size(24);
    call.status = pick_status(ERROR_SUCCESS);
    if (call.status == ERROR_SUCCESS && length > buffer_size) call.status = ERROR_INSUFFICIENT_BUFFER;
    if (call.status == ERROR_SUCCESS) {
        // Address-like text most of the time, so that events pass the client filter.
        const bool dotted = script.in->ConsumeBool();
        for (ULONG i = 0; i < length; ++i) {
            std::uint8_t b = script.in->ConsumeIntegral<std::uint8_t>();
            buffer[i] = dotted ? static_cast<std::uint8_t>("0123456789."[b % 11]) : b;
        }
    }
    if (buffer_size != 0) call.bytes.assign(buffer, buffer + buffer_size);
    script.calls.push_back(call);
    return call.status;
}

void* scripted_realloc(void* block, std::size_t size) {
    if (size > kLargestAllocation || script.in->ConsumeIntegral<std::uint8_t>() >= 250) {
        errno = ENOMEM;
        return nullptr;
    }
    return kr::thread::memory_platform_api().realloc(block, size);
}

// A field of the event information block as the decoder holds it: inside
// its buffer, though a helper that misreports the size it filled may leave
// bytes of an earlier event there.
ULONG read_ulong(std::size_t offset) {
    const DecoderState& state = script.session->decoder;
    check(offset + 4 <= state.event_info_capacity, "descriptor position outside the information buffer");
    ULONG value;
    std::memcpy(&value, state.event_info + offset, 4);
    return value;
}

// The message must be what the ten calls of a successful decoding answered.
int on_message(const std::uint8_t* m, std::uint32_t length, void* context) {
    check(context == &script, "callback context");
    ++script.messages;
    const std::vector<Call>& c = script.calls;
    check(c.size() == 10, "message after other than ten TDH calls");
    check(c[0].kind == Kind::kInfoSize && c[1].kind == Kind::kInfoFetch, "information calls first");
    for (int i = 2; i < 10; ++i) {
        check(c[i].kind == (i % 2 == 0 ? Kind::kPropertySize : Kind::kProperty), "size, then value");
        check(c[i].status == ERROR_SUCCESS, "message despite a failed call");
        check(c[i].name == c[i & ~1].name, "value fetched for another property than sized");
    }
    // Positions 0, 1, 2 and a packet position after a B-then-P pair of names.
    check(c[1].buffer == script.session->decoder.event_info, "information buffer moved");
    auto name_at = [&](ULONG position) {
        return reinterpret_cast<std::uint64_t>(c[1].buffer) + read_ulong(kArrayOffset + position * kEntrySize + 4);
    };
    check(c[2].name == name_at(0) && c[4].name == name_at(1) && c[6].name == name_at(2), "address positions");
    ULONG packet_position = 0;
    const std::size_t capacity = script.session->decoder.event_info_capacity;
    for (ULONG p = 4; p < 64 && kArrayOffset + (p + 1) * kEntrySize <= capacity; ++p) {
        if (c[8].name == name_at(p)) {
            packet_position = p;
            break;
        }
    }
    check(packet_position >= 4, "packet position below 4");
    check(c[3].size == 1, "transport flag read with a buffer size other than 1");

    const std::uint32_t server_size = c[4].size, device_size = c[6].size, n = c[8].size;
    check(server_size >= 1 && server_size <= 256 && device_size >= 1 && device_size <= 256, "address size");
    const std::uint32_t ld = device_size - 1, ls = server_size - 1;
    check(length == 8 + ld + ls + n, "length is not 8 + Ld + Ls + N");
    check(m[0] == 2, "format byte");
    check(m[5] == ld && m[6 + ld] == ls, "address length bytes");
    check(std::memcmp(m + 6, c[7].bytes.data(), ld) == 0, "device address bytes");
    check(std::memcmp(m + 7 + ld, c[5].bytes.data(), ls) == 0, "server address bytes");
    for (std::uint32_t i = 0; i < ld; ++i) {
        const std::uint8_t b = m[6 + i];
        check(b != ':' && !((b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z')), "client address not IPv4 text");
    }
    check(m[7 + ld + ls] == c[3].bytes[0], "transport flag");
    check(c[9].size == n && c[9].buffer == m + 8 + ld + ls, "packet fetched elsewhere than in place");
    check(n == 0 || std::memcmp(m + 8 + ld + ls, c[9].bytes.data(), n) == 0, "packet bytes");
    return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static bool ready = false;
    if (!ready) {
        tdh_api() = TdhApi{event_information, property_size, property};
        kr::thread::memory_api().realloc = scripted_realloc;
        ready = true;
    }
    FuzzedDataProvider in(data, size);
    EtwSession session;
    session.message_callback = on_message;
    session.callback_context = &script;
    script.in = &in;
    script.session = &session;

    for (int events = 0; events < 16 && in.remaining_bytes() > 0; ++events) {
        EVENT_RECORD record{};
        const std::uint8_t kind = in.ConsumeIntegral<std::uint8_t>();
        record.EventHeader.ProviderId = kDnsServerProviderGuid;
        if (kind >= 248) record.EventHeader.ProviderId.Data4[7] ^= 1;
        static const USHORT kIds[] = {256, 257, 258, 259};
        record.EventHeader.EventDescriptor.Id = (kind & 0x40) ? in.ConsumeIntegral<USHORT>() : kIds[kind & 3];
        record.EventHeader.TimeStamp.QuadPart = in.ConsumeIntegral<std::int64_t>();
        script.calls.clear();
        const int before = script.messages;

        decode_event(session, &record);

        const bool wanted_provider = kind < 248;
        const USHORT id = record.EventHeader.EventDescriptor.Id;
        if (!wanted_provider) check(script.calls.empty(), "TDH called for another provider");
        if (id < 256 || id > 258) check(script.calls.size() <= 2, "properties read for an unwanted event ID");
        if (script.messages != before) {
            // Wide enough for any time stamp: the difference never overflows here.
            const __int128 seconds = (static_cast<__int128>(record.EventHeader.TimeStamp.QuadPart) - kEpochOffset) /
                                     10000000;
            const auto time = static_cast<std::uint32_t>(static_cast<unsigned __int128>(seconds));
            const std::uint8_t* m = session.decoder.message;
            check(m[1] == (time >> 24 & 0xFF) && m[2] == (time >> 16 & 0xFF) && m[3] == (time >> 8 & 0xFF) &&
                      m[4] == (time & 0xFF),
                  "time bytes");
        }
        const DecoderState& s = session.decoder;
        check(s.message_length <= s.message_capacity, "message length beyond its buffer");
        check(s.packet_data_length <= s.packet_data_capacity || s.packet_data == nullptr, "packet sizing");
    }
    script.in = nullptr;
    script.session = nullptr;
    return 0;
}
