#pragma once
// Reads the header and the first question of a DNS packet; nothing else.
#include <cstddef>
#include <cstdint>
#include <string>

#include "model/bytes.h"

namespace kr::collector {

constexpr std::size_t kDnsHeaderSize = 12;

// What could be read from one packet. `error` is empty when the header and,
// if the packet has one, the first question were read; otherwise it names
// the problem and the fields read before it keep their has_* flag.
struct DnsSummary {
    bool has_header = false;
    std::uint16_t id = 0;
    std::uint16_t flags = 0;  // the header's second 16-bit word
    std::uint16_t question_count = 0;

    bool has_question = false;
    std::string qname;  // presentation text without the trailing dot, "." for the root
    std::uint16_t qtype = 0;
    std::uint16_t qclass = 0;

    std::string error;

    bool qr() const { return (flags & 0x8000) != 0; }
    unsigned opcode() const { return (flags >> 11) & 0xF; }
    unsigned rcode() const { return flags & 0xF; }
};

DnsSummary parse_dns(Bytes packet);

// Reads the (possibly compressed) name that starts at `offset`. On success
// `text` holds its presentation form and `end` the offset just past the name
// where it started (past the first pointer if it has one). Every pointer
// must lead strictly before the part of the name that contains it, so
// pointer loops end in an error rather than a hang.
bool parse_name(Bytes packet, std::size_t offset, std::string& text, std::size_t& end, std::string& error);

}  // namespace kr::collector
