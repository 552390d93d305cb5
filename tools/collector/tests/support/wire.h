#pragma once
// Builders for the bytes an agent sends: records, hello and event messages,
// and small DNS packets.
#include <cstdint>
#include <string>
#include <vector>

namespace kr::collector::test {

using ByteVector = std::vector<std::uint8_t>;

inline void append(ByteVector& out, const ByteVector& more) {
    out.insert(out.end(), more.begin(), more.end());
}

inline void append_text(ByteVector& out, const std::string& text) {
    out.insert(out.end(), text.begin(), text.end());
}

inline void append_be16(ByteVector& out, std::uint32_t value) {
    out.push_back(static_cast<std::uint8_t>(value >> 8));
    out.push_back(static_cast<std::uint8_t>(value));
}

inline void append_be32(ByteVector& out, std::uint32_t value) {
    append_be16(out, value >> 16);
    append_be16(out, value & 0xFFFF);
}

// The 4-byte big-endian length, then the payload.
inline ByteVector record(const ByteVector& payload) {
    ByteVector out;
    append_be32(out, static_cast<std::uint32_t>(payload.size()));
    append(out, payload);
    return out;
}

inline ByteVector hello(const std::string& version = "3.6.8") {
    ByteVector out{1};
    append_text(out, version);
    return out;
}

inline ByteVector event_message(std::uint32_t time, const std::string& client, const std::string& server,
                                std::uint8_t transport, const ByteVector& packet) {
    ByteVector out{2};
    append_be32(out, time);
    out.push_back(static_cast<std::uint8_t>(client.size()));
    append_text(out, client);
    out.push_back(static_cast<std::uint8_t>(server.size()));
    append_text(out, server);
    out.push_back(transport);
    append(out, packet);
    return out;
}

// Wire form of a dotted name ("" or "." is the root).
inline ByteVector dns_name(const std::string& name) {
    ByteVector out;
    std::size_t start = 0;
    while (start < name.size() && name != ".") {
        std::size_t dot = name.find('.', start);
        if (dot == std::string::npos) {
            dot = name.size();
        }
        out.push_back(static_cast<std::uint8_t>(dot - start));
        out.insert(out.end(), name.begin() + static_cast<std::ptrdiff_t>(start),
                   name.begin() + static_cast<std::ptrdiff_t>(dot));
        start = dot + 1;
    }
    out.push_back(0);
    return out;
}

inline ByteVector dns_header(std::uint16_t id, std::uint16_t flags, std::uint16_t questions) {
    ByteVector out;
    append_be16(out, id);
    append_be16(out, flags);
    append_be16(out, questions);
    append_be16(out, 0);
    append_be16(out, 0);
    append_be16(out, 0);
    return out;
}

// A packet with one question.
inline ByteVector dns_packet(std::uint16_t id, std::uint16_t flags, const std::string& name,
                             std::uint16_t qtype = 1, std::uint16_t qclass = 1) {
    ByteVector out = dns_header(id, flags, 1);
    append(out, dns_name(name));
    append_be16(out, qtype);
    append_be16(out, qclass);
    return out;
}

}  // namespace kr::collector::test
