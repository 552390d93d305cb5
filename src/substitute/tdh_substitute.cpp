#include "substitute/tdh_substitute.h"

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

// Compares the caller's UTF-16LE name with ours unit by unit, stopping at the
// first difference, so nothing past the caller's NUL is read.
bool same_name(const std::uint8_t* name, const std::u16string& ours) {
    for (std::size_t i = 0;; ++i) {
        char16_t unit = static_cast<char16_t>(name[2 * i] | (name[2 * i + 1] << 8));
        char16_t expected = i < ours.size() ? ours[i] : u'\0';
        if (unit != expected) return false;
        if (unit == u'\0') return true;
    }
}

}  // namespace

const EventSchema* dns_server_event_schema(std::uint16_t event_id) {
    for (const EventSchema& schema : kDnsServerEvents) {
        if (schema.event_id == event_id) return &schema;
    }
    return nullptr;
}

bool SchemaCatalog::add(const GUID& provider, const EventSchema& schema) {
    Entry entry{provider, schema.event_id, {}, {}, 0};
    bool have_length = false;
    std::size_t names_size = 0;
    for (std::size_t i = 0; i < schema.count; ++i) {
        const FieldSpec& wanted = schema.fields[i];
        if (wanted.name == nullptr || wanted.name[0] == '\0') return false;
        Field field{{}, wanted.type};
        for (const char* c = wanted.name; *c; ++c) {
            if (static_cast<unsigned char>(*c) > 0x7F) return false;
            field.name.push_back(static_cast<char16_t>(*c));
        }
        if (wanted.type == FieldType::kLength) have_length = true;
        if (wanted.type == FieldType::kBytes && !have_length) return false;
        names_size += 2 * (field.name.size() + 1);
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
        for (char16_t unit : field.name) {
            block[name_offset++] = static_cast<std::uint8_t>(unit & 0xFF);
            block[name_offset++] = static_cast<std::uint8_t>(unit >> 8);
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

// Finds the property the descriptor names and walks the user data up to it.
ULONG SchemaCatalog::locate(const EVENT_RECORD* event, ULONG descriptor_count,
                            const PROPERTY_DATA_DESCRIPTOR* descriptor, const std::uint8_t** data,
                            ULONG* size) const {
    if (event == nullptr || descriptor == nullptr || descriptor_count != 1 || descriptor->PropertyName == 0) {
        return ERROR_INVALID_PARAMETER;
    }
    if (descriptor->ArrayIndex != kWholeProperty && descriptor->ArrayIndex != 0) return ERROR_INVALID_PARAMETER;
    const Entry* entry = find(event);
    if (entry == nullptr) return ERROR_NOT_FOUND;
    // One pass: match the name and walk the user data together. A property
    // past malformed data is reported as invalid data, whatever its name.
    const auto* name = reinterpret_cast<const std::uint8_t*>(static_cast<std::uintptr_t>(descriptor->PropertyName));
    const auto* user = static_cast<const std::uint8_t*>(event->UserData);
    const std::size_t length = user == nullptr ? 0 : event->UserDataLength;
    std::size_t offset = 0;
    std::size_t bytes_size = 0;
    ULONG walk_status = ERROR_SUCCESS;
    for (const Field& field : entry->fields) {
        std::size_t n = 0;
        if (walk_status == ERROR_SUCCESS) {
            const std::size_t left = length - offset;
            switch (field.type) {
            case FieldType::kText: {
                const void* nul = left == 0 ? nullptr : std::memchr(user + offset, 0, left);
                n = nul == nullptr ? left + 1 : static_cast<const std::uint8_t*>(nul) - (user + offset) + 1;
                break;
            }
            case FieldType::kBytes: n = bytes_size; break;
            default: n = fixed_width(field.type); break;
            }
            if (n > left) {
                walk_status = kStatusInvalidData;
            } else if (field.type == FieldType::kLength) {
                bytes_size = user[offset] | (user[offset + 1] << 8);
            }
        }
        if (same_name(name, field.name)) {
            if (walk_status != ERROR_SUCCESS) return walk_status;
            *data = user + offset;
            *size = static_cast<ULONG>(n);
            return ERROR_SUCCESS;
        }
        offset += n;
    }
    return ERROR_NOT_FOUND;
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
    if (size != 0) std::memcpy(buffer, data, size);
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

ULONG WINAPI substitute_event_information(PEVENT_RECORD event, ULONG, PTDH_CONTEXT, PTRACE_EVENT_INFO buffer,
                                          ULONG* buffer_size) {
    return dns_server_catalog().event_information(event, buffer, buffer_size);
}

ULONG WINAPI substitute_property_size(PEVENT_RECORD event, ULONG, PTDH_CONTEXT, ULONG descriptor_count,
                                      PPROPERTY_DATA_DESCRIPTOR descriptor, ULONG* property_size) {
    return dns_server_catalog().property_size(event, descriptor_count, descriptor, property_size);
}

ULONG WINAPI substitute_property(PEVENT_RECORD event, ULONG, PTDH_CONTEXT, ULONG descriptor_count,
                                 PPROPERTY_DATA_DESCRIPTOR descriptor, ULONG buffer_size, PBYTE buffer) {
    return dns_server_catalog().property(event, descriptor_count, descriptor, buffer_size, buffer);
}

}  // namespace

const TdhApi& tdh_substitute_api() {
    static const TdhApi api{substitute_event_information, substitute_property_size, substitute_property};
    return api;
}

}  // namespace kr::substitute
