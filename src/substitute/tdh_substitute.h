#pragma once
// A stand-in for the Trace Data Helper that answers from schemas it is given
// instead of the system's provider manifests. It builds the TRACE_EVENT_INFO
// of an event (property names as UTF-16LE text inside the same block) and
// reads property values from the event's user data, with TDH's statuses:
// ERROR_INSUFFICIENT_BUFFER (122) with the size needed, ERROR_NOT_FOUND for an
// unknown event or property name, ERROR_INVALID_PARAMETER for bad arguments
// and kStatusInvalidData for user data that does not fit the schema. It never
// reads outside the user data or the caller's buffers, and never allocates
// while answering. Safe to call from several threads at once.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "capture/etw_types.h"
#include "capture/tdh_api.h"

namespace kr::substitute {

// ERROR_INVALID_DATA: user data shorter than its schema, or a text without its NUL.
constexpr ULONG kStatusInvalidData = 13;

// How a property is laid out in the user data. Integers are little-endian.
enum class FieldType : std::uint8_t {
    kUInt8,
    kUInt16,
    kUInt32,
    kText,    // 8-bit text with its terminating NUL; the NUL counts in the size
    kLength,  // uint16 holding the size of the next kBytes property
    kBytes,   // raw bytes, as many as the last kLength before it says
};

struct FieldSpec {
    const char* name;  // ASCII
    FieldType type;
};

struct EventSchema {
    std::uint16_t event_id;
    const FieldSpec* fields;
    std::size_t count;
};

// The DNS server provider's events as the substitute knows them; null for an
// ID other than 256, 257 or 258.
const EventSchema* dns_server_event_schema(std::uint16_t event_id);

// A set of event schemas with their prepared TRACE_EVENT_INFO blocks.
// Filled once before use; the answering calls are const and lock-free.
class SchemaCatalog {
public:
    // Adds the schema of one event of one provider. False when the schema
    // cannot be described (a kBytes property with no kLength before it, an
    // empty or non-ASCII name, more than kMaxFields properties).
    bool add(const GUID& provider, const EventSchema& schema);

    ULONG event_information(const EVENT_RECORD* event, TRACE_EVENT_INFO* buffer, ULONG* buffer_size) const;
    ULONG property_size(const EVENT_RECORD* event, ULONG descriptor_count, const PROPERTY_DATA_DESCRIPTOR* descriptor,
                        ULONG* property_size) const;
    ULONG property(const EVENT_RECORD* event, ULONG descriptor_count, const PROPERTY_DATA_DESCRIPTOR* descriptor,
                   ULONG buffer_size, BYTE* buffer) const;

    static constexpr std::size_t kMaxFields = 64;
    static constexpr std::uint8_t kNoField = 0xFF;
    struct Field {
        std::string name;  // ASCII
        // The name as the caller writes it: UTF-16LE units, byte pairs as
        // they lie in memory, with the terminating zero unit.
        std::vector<std::uint16_t> units;
        FieldType type;
        std::uint8_t same_initial;  // the next field whose name starts alike, or kNoField
    };
    // A field's type and, for a fixed-size one, its width (0 for texts and bytes).
    struct Shape {
        FieldType type;
        std::uint8_t width;
    };
    // One event's schema with what answering needs worked out when it is added.
    struct Entry {
        GUID provider;
        std::uint16_t event_id;
        std::uint64_t serial;  // unique in the process: names this schema in a thread's last walk
        std::vector<Field> fields;
        std::vector<Shape> shapes;  // the fields' shapes alone, side by side for the walk
        std::vector<std::uint64_t> info;  // 8-byte aligned TRACE_EVENT_INFO
        ULONG info_size;
        // Per ASCII initial, the first field whose name starts with it: a
        // name is found by its initial and confirmed whole, not searched for.
        std::uint8_t by_initial[128];
    };

private:
    const Entry* find(const EVENT_RECORD* event) const;
    ULONG locate(const EVENT_RECORD* event, ULONG descriptor_count, const PROPERTY_DATA_DESCRIPTOR* descriptor,
                 const std::uint8_t** data, ULONG* size) const;

    std::vector<Entry> entries_;
};

// The catalog of the DNS server provider's events 256 to 258, built once.
const SchemaCatalog& dns_server_catalog();

// A TDH table that answers for the DNS server provider's events 256 to 258
// from the event's own user data. Available on every platform.
const capture::TdhApi& tdh_substitute_api();

}  // namespace kr::substitute
