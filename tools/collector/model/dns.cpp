#include "model/dns.h"

#include <cstdio>

namespace kr::collector {

namespace {

constexpr std::size_t kMaxNameWire = 255;  // length bytes, labels and the final zero
constexpr int kMaxPointers = 127;

// Label bytes in the usual presentation form: '.' and '\' escaped, bytes
// outside printable ASCII as \DDD.
void append_label(std::string& text, const std::uint8_t* label, std::size_t length) {
    for (std::size_t i = 0; i < length; ++i) {
        const std::uint8_t c = label[i];
        if (c == '.' || c == '\\') {
            text += '\\';
            text += static_cast<char>(c);
        } else if (c > 0x20 && c < 0x7F) {
            text += static_cast<char>(c);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\%03u", static_cast<unsigned>(c));
            text += escaped;
        }
    }
}

}  // namespace

bool parse_name(Bytes packet, std::size_t offset, std::string& text, std::size_t& end, std::string& error) {
    text.clear();
    std::size_t pos = offset;
    std::size_t segment_start = offset;  // pointers must land before this
    std::size_t wire_length = 1;
    bool jumped = false;
    int pointers = 0;
    for (;;) {
        if (pos >= packet.size) {
            error = "name runs past the end of the packet";
            return false;
        }
        const std::uint8_t length = packet.data[pos];
        if ((length & 0xC0) == 0xC0) {
            if (pos + 1 >= packet.size) {
                error = "compression pointer cut off by the end of the packet";
                return false;
            }
            const std::size_t target = ((length & 0x3Fu) << 8) | packet.data[pos + 1];
            if (target >= segment_start) {
                error = "compression pointer at offset " + std::to_string(pos) + " to offset " +
                        std::to_string(target) + " does not point backwards";
                return false;
            }
            if (++pointers > kMaxPointers) {
                error = "too many compression pointers in a name";
                return false;
            }
            if (!jumped) {
                end = pos + 2;
                jumped = true;
            }
            pos = target;
            segment_start = target;
            continue;
        }
        if ((length & 0xC0) != 0) {
            error = "unsupported label type at offset " + std::to_string(pos);
            return false;
        }
        if (length == 0) {
            if (!jumped) {
                end = pos + 1;
            }
            if (text.empty()) {
                text = ".";
            }
            return true;
        }
        if (pos + 1 + length > packet.size) {
            error = "label runs past the end of the packet";
            return false;
        }
        wire_length += 1u + length;
        if (wire_length > kMaxNameWire) {
            error = "name longer than 255 bytes";
            return false;
        }
        if (!text.empty()) {
            text += '.';
        }
        append_label(text, packet.data + pos + 1, length);
        pos += 1u + length;
    }
}

DnsSummary parse_dns(Bytes packet) {
    DnsSummary dns;
    if (packet.size < kDnsHeaderSize) {
        dns.error = "packet of " + std::to_string(packet.size) + " bytes is shorter than the DNS header";
        return dns;
    }
    dns.has_header = true;
    dns.id = read_be16(packet.data);
    dns.flags = read_be16(packet.data + 2);
    dns.question_count = read_be16(packet.data + 4);
    if (dns.question_count == 0) {
        return dns;
    }
    std::string name;
    std::size_t end = 0;
    if (!parse_name(packet, kDnsHeaderSize, name, end, dns.error)) {
        dns.error = "question name: " + dns.error;
        return dns;
    }
    if (end + 4 > packet.size) {
        dns.error = "question cut off before its type and class";
        return dns;
    }
    dns.has_question = true;
    dns.qname = std::move(name);
    dns.qtype = read_be16(packet.data + end);
    dns.qclass = read_be16(packet.data + end + 2);
    return dns;
}

}  // namespace kr::collector
