#include "substitute/tdh_substitute.h"

#include <atomic>
#include <cstring>

#include "capture/decoder.h"
#include "capture/tdh_api.h"

namespace kr::substitute {
using kr::capture::TdhApi;
using kr::capture::kDnsServerProviderGuid;

namespace {

// TDH input types, as the system's manifests declare them.
constexpr USHORT kInTypeAnsiString = 2;
constexpr USHORT kInTypeUInt8 = 4;
constexpr USHORT kInTypeUInt16 = 6;
constexpr USHORT kInTypeUInt32 = 8;
constexpr USHORT kInTypeBinary = 14;

constexpr ULONG kWholeProperty = 0xFFFFFFFFu;
constexpr std::size_t kInfoHeaderSize = offsetof(TRACE_EVENT_INFO, EventPropertyInfoArray);

// The DNS server provider's events. Positions 0 to 2 (transport flag, server
// address, client address) and the BufferSize/PacketData pair are what the
// decoder relies on; the rest only give the events their real width.
//   TCP, RD, AA, AD, DNSSEC, RCODE   uint8
//   QTYPE, XID, Port, Flags          uint16
//   Reason                           uint32
//   InterfaceIP, Source, Destination, QNAME, Scope, Zone, PolicyName   text
//   BufferSize                       uint16, the size of PacketData
//   PacketData                       the raw DNS message
constexpr FieldSpec kQueryReceived[] = {
    {"TCP", FieldType::kUInt8},       {"InterfaceIP", FieldType::kText}, {"Source", FieldType::kText},
    {"RD", FieldType::kUInt8},        {"QNAME", FieldType::kText},       {"QTYPE", FieldType::kUInt16},
    {"XID", FieldType::kUInt16},      {"Port", FieldType::kUInt16},      {"Flags", FieldType::kUInt16},
    {"BufferSize", FieldType::kLength}, {"PacketData", FieldType::kBytes},
};
constexpr FieldSpec kResponseSuccess[] = {
    {"TCP", FieldType::kUInt8},        {"InterfaceIP", FieldType::kText}, {"Destination", FieldType::kText},
    {"AA", FieldType::kUInt8},         {"AD", FieldType::kUInt8},         {"QNAME", FieldType::kText},
    {"QTYPE", FieldType::kUInt16},     {"XID", FieldType::kUInt16},       {"DNSSEC", FieldType::kUInt8},
    {"RCODE", FieldType::kUInt8},      {"Port", FieldType::kUInt16},      {"Flags", FieldType::kUInt16},
    {"Scope", FieldType::kText},       {"Zone", FieldType::kText},        {"PolicyName", FieldType::kText},
    {"BufferSize", FieldType::kLength}, {"PacketData", FieldType::kBytes},
};
constexpr FieldSpec kResponseFailure[] = {
    {"TCP", FieldType::kUInt8},       {"InterfaceIP", FieldType::kText}, {"Destination", FieldType::kText},
    {"Reason", FieldType::kUInt32},   {"QNAME", FieldType::kText},       {"QTYPE", FieldType::kUInt16},
    {"XID", FieldType::kUInt16},      {"RCODE", FieldType::kUInt8},      {"Port", FieldType::kUInt16},
    {"Flags", FieldType::kUInt16},    {"Zone", FieldType::kText},        {"PolicyName", FieldType::kText},
    {"BufferSize", FieldType::kLength}, {"PacketData", FieldType::kBytes},
};

constexpr EventSchema kDnsServerEvents[] = {
    {256, kQueryReceived, sizeof kQueryReceived / sizeof kQueryReceived[0]},
    {257, kResponseSuccess, sizeof kResponseSuccess / sizeof kResponseSuccess[0]},
    {258, kResponseFailure, sizeof kResponseFailure / sizeof kResponseFailure[0]},
};

USHORT fixed_width(FieldType type) {
    switch (type) {
    case FieldType::kUInt8: return 1;
    case FieldType::kUInt16:
    case FieldType::kLength: return 2;
    case FieldType::kUInt32: return 4;
    case FieldType::kText:
    case FieldType::kBytes: break;
    }
    return 0;
}

USHORT in_type(FieldType type) {
    switch (type) {
    case FieldType::kUInt8: return kInTypeUInt8;
    case FieldType::kUInt16:
    case FieldType::kLength: return kInTypeUInt16;
    case FieldType::kUInt32: return kInTypeUInt32;
    case FieldType::kText: return kInTypeAnsiString;
    case FieldType::kBytes: break;
    }
    return kInTypeBinary;
}

// Compares the caller's UTF-16LE name with a field's, from the unit after the
// initial (already matched) to the field's NUL, stopping at the first
// difference. Each unit is read only after the ones before it matched the
// field's, none of which is the NUL, so nothing past the caller's NUL is
// read; the field's units before its NUL are never zero, so one test a unit
// covers both the match and the end.
bool same_name(const std::uint8_t* name, const SchemaCatalog::Field& field) {
    const std::uint16_t* ours = field.units.data();
    for (std::size_t i = 1; i <= field.name.size(); ++i) {
        std::uint16_t unit;
        std::memcpy(&unit, name + 2 * i, sizeof unit);
        if (unit != ours[i]) return false;
    }
    return true;
}

// The position of the field the caller's name names, or the field count.
std::size_t field_of(const SchemaCatalog::Entry& entry, const std::uint8_t* name) {
    std::uint8_t i = name[1] == 0 && name[0] < 128 ? entry.by_initial[name[0]] : SchemaCatalog::kNoField;
    for (; i != SchemaCatalog::kNoField; i = entry.fields[i].same_initial) {
        if (same_name(name, entry.fields[i])) return i;
    }
    return entry.fields.size();
}

// Bytes of the text at `text` with its NUL, or left + 1 when no NUL comes
// within `left` bytes. Eight bytes a step, read whole only within `left`:
// the texts are short (an address, often empty), where a library call cost
// more than the scan.
std::size_t text_size(const std::uint8_t* text, std::size_t left) {
    constexpr std::uint64_t kOnes = 0x0101010101010101u;
    constexpr std::uint64_t kHighs = 0x8080808080808080u;
    std::size_t i = 0;
    for (; i + 8 <= left; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, text + i, sizeof word);
        // The lowest byte flagged is the first zero byte (bytes in memory order: little-endian).
        const std::uint64_t zeros = (word - kOnes) & ~word & kHighs;
        if (zeros != 0) return i + (static_cast<std::size_t>(__builtin_ctzll(zeros)) >> 3) + 1;
    }
    for (; i < left; ++i) {
        if (text[i] == 0) return i + 1;
    }
    return left + 1;
}

// Whether the first n bytes at a and b are alike, in fixed-size steps that
// the compiler does inline (the last step overlaps the one before it): it
// runs on every property call, where a library call cost more than the
// comparison. Reads nothing past n.
bool same_bytes(const std::uint8_t* a, const std::uint8_t* b, std::size_t n) {
    if (n >= 16) {
        for (std::size_t i = 0; i + 16 < n; i += 16) {
            if (std::memcmp(a + i, b + i, 16) != 0) return false;
        }
        return std::memcmp(a + n - 16, b + n - 16, 16) == 0;
    }
    if (n >= 8) return std::memcmp(a, b, 8) == 0 && std::memcmp(a + n - 8, b + n - 8, 8) == 0;
    if (n >= 4) return std::memcmp(a, b, 4) == 0 && std::memcmp(a + n - 4, b + n - 4, 4) == 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (a[i] != b[i]) return false;
    }
    return true;
}

// Copies a property's value. Short ones (a flag, an address) go in
// fixed-size steps the compiler does inline, as same_bytes compares.
void copy_value(std::uint8_t* to, const std::uint8_t* from, std::size_t n) {
    if (n > 16) {
        std::memcpy(to, from, n);
    } else if (n >= 8) {
        std::memcpy(to, from, 8);
        std::memcpy(to + n - 8, from + n - 8, 8);
    } else if (n >= 4) {
        std::memcpy(to, from, 4);
        std::memcpy(to + n - 4, from + n - 4, 4);
    } else {
        for (std::size_t i = 0; i < n; ++i) to[i] = from[i];
    }
}

// Where every field of one event's user data lies, as this thread's last walk
// found it, with the data's leading bytes. Where a field lies depends on
// nothing but the data's length and the bytes up to its `decided` mark (the
// ends of the texts up to it, the length field of bytes), so data alike up to
// that mark is answered without walking again: the decoder asks for four
// properties, twice each, per event, and one walk serves all eight.
struct Walk {
    static constexpr std::size_t kMaxDecided = 512;
    std::uint64_t serial = 0;  // the schema walked; 0: none
    std::size_t length = 0;
    std::size_t whole = 0;  // fields that lie whole in the data; a later one is invalid
    std::uint32_t start[SchemaCatalog::kMaxFields];
    std::uint32_t size[SchemaCatalog::kMaxFields];
    std::uint32_t decided[SchemaCatalog::kMaxFields];  // past whole: the data's length
    std::uint8_t bytes[kMaxDecided];
};

thread_local Walk last_walk;

// Out of line: the eight calls of an event but the first take the check in
// walk() only, which then needs few registers.
[[gnu::noinline]] const Walk& walk_anew(const SchemaCatalog::Entry& entry, const std::uint8_t* user,
                                        std::size_t length) {
    Walk& w = last_walk;
    std::size_t offset = 0;
    std::size_t bytes_size = 0;
    std::size_t decided = 0;
    std::size_t i = 0;
    const SchemaCatalog::Shape* shapes = entry.shapes.data();
    const std::size_t count = entry.shapes.size();
    for (; i < count; ++i) {
        const SchemaCatalog::Shape shape = shapes[i];
        const std::size_t left = length - offset;
        std::size_t n = shape.width;
        if (n == 0) n = shape.type == FieldType::kText ? text_size(user + offset, left) : bytes_size;
        if (n > left) break;
        if (shape.type == FieldType::kLength) {
            bytes_size = user[offset] | (user[offset + 1] << 8);
            decided = offset + n;
        } else if (shape.type == FieldType::kText) {
            decided = offset + n;
        }
        w.start[i] = static_cast<std::uint32_t>(offset);
        w.size[i] = static_cast<std::uint32_t>(n);
        w.decided[i] = static_cast<std::uint32_t>(decided);
        offset += n;
    }
    w.whole = i;
    w.length = length;
    // The field that did not fit was decided by anything up to the end.
    for (; i < count; ++i) w.decided[i] = static_cast<std::uint32_t>(length);
    const std::size_t kept = count == 0 ? 0 : w.decided[count - 1];
    w.serial = 0;
    if (kept <= Walk::kMaxDecided) {
        if (kept != 0) std::memcpy(w.bytes, user, kept);
        w.serial = entry.serial;
    }
    return w;
}

// This thread's walk, when it holds for field `wanted` of this data.
const Walk& walk(const SchemaCatalog::Entry& entry, const std::uint8_t* user, std::size_t length,
                 std::size_t wanted) {
    const Walk& w = last_walk;
    if (w.serial == entry.serial && w.length == length && same_bytes(w.bytes, user, w.decided[wanted])) return w;
    return walk_anew(entry, user, length);
}

std::atomic<std::uint64_t> next_serial{1};

}  // namespace

const EventSchema* dns_server_event_schema(std::uint16_t event_id) {
    for (const EventSchema& schema : kDnsServerEvents) {
        if (schema.event_id == event_id) return &schema;
    }
    return nullptr;
}

bool SchemaCatalog::add(const GUID& provider, const EventSchema& schema) {
    if (schema.count > kMaxFields) return false;
    Entry entry{provider, schema.event_id, next_serial.fetch_add(1), {}, {}, {}, 0, {}};
    std::memset(entry.by_initial, kNoField, sizeof entry.by_initial);
    bool have_length = false;
    std::size_t names_size = 0;
    for (std::size_t i = 0; i < schema.count; ++i) {
        const FieldSpec& wanted = schema.fields[i];
        if (wanted.name == nullptr || wanted.name[0] == '\0') return false;
        Field field{{}, {}, wanted.type, kNoField};
        for (const char* c = wanted.name;; ++c) {
            if (static_cast<unsigned char>(*c) > 0x7F) return false;
            const std::uint8_t pair[2] = {static_cast<std::uint8_t>(*c), 0};
            std::uint16_t unit;
            std::memcpy(&unit, pair, sizeof unit);
            field.units.push_back(unit);
            if (*c == '\0') break;
            field.name.push_back(*c);
        }
        if (wanted.type == FieldType::kLength) have_length = true;
        if (wanted.type == FieldType::kBytes && !have_length) return false;
        names_size += 2 * (field.name.size() + 1);
        // Chained behind the earlier fields of the same initial, so that the
        // first field of a name answers, as a search in order would.
        std::uint8_t* link = &entry.by_initial[static_cast<unsigned char>(field.name[0])];
        while (*link != kNoField) link = &entry.fields[*link].same_initial;
        *link = static_cast<std::uint8_t>(i);
        entry.shapes.push_back({field.type, static_cast<std::uint8_t>(fixed_width(field.type))});
        entry.fields.push_back(std::move(field));
    }

    std::size_t size = kInfoHeaderSize + schema.count * sizeof(EVENT_PROPERTY_INFO) + names_size;
    entry.info_size = static_cast<ULONG>(size);
    entry.info.assign((size + 7) / 8, 0);
    auto* block = reinterpret_cast<std::uint8_t*>(entry.info.data());

    TRACE_EVENT_INFO header{};
    header.ProviderGuid = provider;
    header.EventDescriptor.Id = schema.event_id;
    header.DecodingSource = DecodingSourceXMLFile;
    header.PropertyCount = static_cast<ULONG>(schema.count);
    header.TopLevelPropertyCount = static_cast<ULONG>(schema.count);
    header.Flags = TEMPLATE_EVENT_DATA;
    std::memcpy(block, &header, kInfoHeaderSize);

    std::size_t name_offset = kInfoHeaderSize + schema.count * sizeof(EVENT_PROPERTY_INFO);
    USHORT last_length = 0;
    for (std::size_t i = 0; i < entry.fields.size(); ++i) {
        const Field& field = entry.fields[i];
        EVENT_PROPERTY_INFO info{};
        info.NameOffset = static_cast<ULONG>(name_offset);
        info.nonStructType.InType = in_type(field.type);
        info.count = 1;
        if (field.type == FieldType::kBytes) {
            info.Flags = PropertyParamLength;
            info.lengthPropertyIndex = last_length;
        } else {
            info.length = fixed_width(field.type);
        }
        if (field.type == FieldType::kLength) last_length = static_cast<USHORT>(i);
        std::memcpy(block + kInfoHeaderSize + i * sizeof info, &info, sizeof info);
        for (char c : field.name) {
            block[name_offset++] = static_cast<std::uint8_t>(c);
            block[name_offset++] = 0;
        }
        name_offset += 2;  // the NUL, already zero
    }
    entries_.push_back(std::move(entry));
    return true;
}

const SchemaCatalog::Entry* SchemaCatalog::find(const EVENT_RECORD* event) const {
    for (const Entry& entry : entries_) {
        if (entry.event_id == event->EventHeader.EventDescriptor.Id &&
            std::memcmp(&entry.provider, &event->EventHeader.ProviderId, sizeof(GUID)) == 0) {
            return &entry;
        }
    }
    return nullptr;
}

ULONG SchemaCatalog::event_information(const EVENT_RECORD* event, TRACE_EVENT_INFO* buffer,
                                       ULONG* buffer_size) const {
    if (event == nullptr || buffer_size == nullptr) return ERROR_INVALID_PARAMETER;
    const Entry* entry = find(event);
    if (entry == nullptr) return ERROR_NOT_FOUND;
    if (buffer == nullptr || *buffer_size < entry->info_size) {
        *buffer_size = entry->info_size;
        return ERROR_INSUFFICIENT_BUFFER;
    }
    std::memcpy(buffer, entry->info.data(), entry->info_size);
    *buffer_size = entry->info_size;
    return ERROR_SUCCESS;
}

// Finds the property the descriptor names by its initial and where the user
// data holds it. A property past malformed data is reported as invalid data.
// Inlined into its two callers: it runs eight times per event, and a call
// of its own cost a fifth of it.
[[gnu::always_inline]] inline ULONG SchemaCatalog::locate(const EVENT_RECORD* event, ULONG descriptor_count,
                            const PROPERTY_DATA_DESCRIPTOR* descriptor, const std::uint8_t** data,
                            ULONG* size) const {
    if (event == nullptr || descriptor == nullptr || descriptor_count != 1 || descriptor->PropertyName == 0) {
        return ERROR_INVALID_PARAMETER;
    }
    if (descriptor->ArrayIndex != kWholeProperty && descriptor->ArrayIndex != 0) return ERROR_INVALID_PARAMETER;
    const Entry* entry = find(event);
    if (entry == nullptr) return ERROR_NOT_FOUND;
    const auto* name = reinterpret_cast<const std::uint8_t*>(static_cast<std::uintptr_t>(descriptor->PropertyName));
    const std::size_t wanted = field_of(*entry, name);
    if (wanted == entry->fields.size()) return ERROR_NOT_FOUND;
    const auto* user = static_cast<const std::uint8_t*>(event->UserData);
    const std::size_t length = user == nullptr ? 0 : event->UserDataLength;
    const Walk& fields = walk(*entry, user, length, wanted);
    if (wanted >= fields.whole) return kStatusInvalidData;
    *data = user + fields.start[wanted];
    *size = fields.size[wanted];
    return ERROR_SUCCESS;
}

ULONG SchemaCatalog::property_size(const EVENT_RECORD* event, ULONG descriptor_count,
                                   const PROPERTY_DATA_DESCRIPTOR* descriptor, ULONG* property_size) const {
    if (property_size == nullptr) return ERROR_INVALID_PARAMETER;
    const std::uint8_t* data = nullptr;
    ULONG size = 0;
    ULONG status = locate(event, descriptor_count, descriptor, &data, &size);
    if (status == ERROR_SUCCESS) *property_size = size;
    return status;
}

ULONG SchemaCatalog::property(const EVENT_RECORD* event, ULONG descriptor_count,
                              const PROPERTY_DATA_DESCRIPTOR* descriptor, ULONG buffer_size, BYTE* buffer) const {
    const std::uint8_t* data = nullptr;
    ULONG size = 0;
    ULONG status = locate(event, descriptor_count, descriptor, &data, &size);
    if (status != ERROR_SUCCESS) return status;
    if (buffer_size < size) return ERROR_INSUFFICIENT_BUFFER;
    if (size != 0 && buffer == nullptr) return ERROR_INVALID_PARAMETER;
    copy_value(buffer, data, size);
    return ERROR_SUCCESS;
}

const SchemaCatalog& dns_server_catalog() {
    static const SchemaCatalog catalog = [] {
        SchemaCatalog built;
        for (const EventSchema& schema : kDnsServerEvents) built.add(kDnsServerProviderGuid, schema);
        return built;
    }();
    return catalog;
}

namespace {

// Set when the table is first asked for, before any of its calls can run:
// the calls, made for every property of every event, skip the guard of a
// function-local static.
std::atomic<const SchemaCatalog*> catalog{nullptr};

ULONG WINAPI substitute_event_information(PEVENT_RECORD event, ULONG, PTDH_CONTEXT, PTRACE_EVENT_INFO buffer,
                                          ULONG* buffer_size) {
    return catalog.load(std::memory_order_relaxed)->event_information(event, buffer, buffer_size);
}

ULONG WINAPI substitute_property_size(PEVENT_RECORD event, ULONG, PTDH_CONTEXT, ULONG descriptor_count,
                                      PPROPERTY_DATA_DESCRIPTOR descriptor, ULONG* property_size) {
    return catalog.load(std::memory_order_relaxed)->property_size(event, descriptor_count, descriptor, property_size);
}

ULONG WINAPI substitute_property(PEVENT_RECORD event, ULONG, PTDH_CONTEXT, ULONG descriptor_count,
                                 PPROPERTY_DATA_DESCRIPTOR descriptor, ULONG buffer_size, PBYTE buffer) {
    return catalog.load(std::memory_order_relaxed)->property(event, descriptor_count, descriptor, buffer_size, buffer);
}

}  // namespace

const TdhApi& tdh_substitute_api() {
    catalog.store(&dns_server_catalog(), std::memory_order_relaxed);
    static const TdhApi api{substitute_event_information, substitute_property_size, substitute_property};
    return api;
}

}  // namespace kr::substitute
