#include "traffic/dns_packet.h"

#include <cstring>

#include "capture/decoder.h"

namespace kr::traffic {
using kr::capture::kEpochOffset;

namespace {

constexpr std::uint16_t kEtherIpv4 = 0x0800;
constexpr std::uint16_t kEtherIpv6 = 0x86DD;
constexpr std::uint16_t kEtherVlan = 0x8100;
constexpr std::uint16_t kEtherQinQ = 0x88A8;
constexpr std::uint16_t kEtherQinQOld = 0x9100;
// Nested tags beyond this are not real traffic; the bound keeps the walk short.
constexpr int kMaxVlanTags = 8;
constexpr int kMaxIpv6Extensions = 8;

constexpr std::uint8_t kProtoTcp = 6;
constexpr std::uint8_t kProtoUdp = 17;

std::uint16_t be16(const std::uint8_t* p) { return static_cast<std::uint16_t>((p[0] << 8) | p[1]); }

std::uint32_t be32(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

std::uint32_t le32(const std::uint8_t* p) {
    return (std::uint32_t{p[3]} << 24) | (std::uint32_t{p[2]} << 16) | (std::uint32_t{p[1]} << 8) | p[0];
}

// The UDP or TCP header at the start of `segment` (all of the IP payload).
bool parse_transport(std::uint8_t protocol, const std::uint8_t* segment, std::size_t size, TransportPacket& out) {
    if (protocol == kProtoUdp) {
        if (size < 8) return false;
        const std::uint16_t length = be16(segment + 4);
        // Length 0 means a jumbogram's UDP length lies elsewhere: not DNS.
        if (length < 8 || length > size) return false;
        out.tcp = false;
        out.payload = segment + 8;
        out.payload_size = length - 8u;
    } else if (protocol == kProtoTcp) {
        if (size < 20) return false;
        const std::size_t header = std::size_t{static_cast<std::uint8_t>(segment[12] >> 4)} * 4;
        if (header < 20 || header > size) return false;
        out.tcp = true;
        out.payload = segment + header;
        out.payload_size = static_cast<std::uint32_t>(size - header);
    } else {
        return false;
    }
    out.source_port = be16(segment);
    out.destination_port = be16(segment + 2);
    return true;
}

bool parse_ipv4(const std::uint8_t* ip, std::size_t size, TransportPacket& out) {
    if (size < 20 || (ip[0] >> 4) != 4) return false;
    const std::size_t header = std::size_t{static_cast<std::uint8_t>(ip[0] & 0x0F)} * 4;
    const std::size_t total = be16(ip + 2);
    if (header < 20 || total < header || total > size) return false;
    // More-fragments set or a non-zero offset: only part of a datagram.
    if ((be16(ip + 6) & 0x3FFF) != 0) return false;
    out.family = 4;
    std::memcpy(out.source, ip + 12, 4);
    std::memcpy(out.destination, ip + 16, 4);
    return parse_transport(ip[9], ip + header, total - header, out);
}

bool parse_ipv6(const std::uint8_t* ip, std::size_t size, TransportPacket& out) {
    if (size < 40 || (ip[0] >> 4) != 6) return false;
    const std::size_t payload = be16(ip + 4);
    // Payload length 0 is a jumbogram (or nothing at all).
    if (payload == 0 || 40 + payload > size) return false;
    const std::size_t end = 40 + payload;
    std::uint8_t next = ip[6];
    std::size_t at = 40;
    for (int i = 0; i <= kMaxIpv6Extensions; ++i) {
        if (next == kProtoUdp || next == kProtoTcp) {
            out.family = 6;
            std::memcpy(out.source, ip + 8, 16);
            std::memcpy(out.destination, ip + 24, 16);
            return parse_transport(next, ip + at, end - at, out);
        }
        if (end - at < 8) return false;
        std::size_t length = 0;
        switch (next) {
        case 0:   // hop-by-hop options
        case 43:  // routing
        case 60:  // destination options
            length = (std::size_t{ip[at + 1]} + 1) * 8;
            break;
        case 44:  // fragment: only an atomic fragment (offset 0, no more) is a whole packet
            if ((be16(ip + at + 2) & 0xFFF9) != 0) return false;
            length = 8;
            break;
        case 51:  // authentication header
            length = (std::size_t{ip[at + 1]} + 2) * 4;
            break;
        default:
            return false;
        }
        if (length > end - at) return false;
        next = ip[at];
        at += length;
    }
    return false;
}

// The network layer named by an EtherType, after any VLAN tags.
bool parse_ethertype(std::uint16_t type, const std::uint8_t* frame, std::size_t at, std::size_t size,
                     TransportPacket& out) {
    for (int tags = 0; type == kEtherVlan || type == kEtherQinQ || type == kEtherQinQOld; ++tags) {
        if (tags == kMaxVlanTags || size - at < 4) return false;
        type = be16(frame + at + 2);
        at += 4;
    }
    if (type == kEtherIpv4) return parse_ipv4(frame + at, size - at, out);
    if (type == kEtherIpv6) return parse_ipv6(frame + at, size - at, out);
    return false;
}

bool parse_ip(const std::uint8_t* ip, std::size_t size, TransportPacket& out) {
    if (size < 1) return false;
    if ((ip[0] >> 4) == 4) return parse_ipv4(ip, size, out);
    if ((ip[0] >> 4) == 6) return parse_ipv6(ip, size, out);
    return false;
}

// BSD loopback: the address family in the capturing host's byte order, which
// a file does not record. Families are small numbers, so the order whose
// reading fits in 16 bits is the right one.
bool parse_loopback(const std::uint8_t* frame, std::size_t size, TransportPacket& out) {
    if (size < 4) return false;
    std::uint32_t family = le32(frame);
    if (family > 0xFFFF) family = be32(frame);
    switch (family) {
    case 2:  // AF_INET everywhere
        return parse_ipv4(frame + 4, size - 4, out);
    case 10:  // AF_INET6: Linux
    case 24:  // NetBSD, OpenBSD
    case 28:  // FreeBSD, DragonFly
    case 30:  // macOS
        return parse_ipv6(frame + 4, size - 4, out);
    default:
        return false;
    }
}

// One to three digits, without a loop: every packet's two addresses pass here.
char* put_octet(char* out, unsigned value) {
    if (value >= 100) *out++ = static_cast<char>('0' + value / 100);
    if (value >= 10) *out++ = static_cast<char>('0' + value / 10 % 10);
    *out++ = static_cast<char>('0' + value % 10);
    return out;
}

char* put_ipv4(char* out, const std::uint8_t* address) {
    for (int i = 0; i < 4; ++i) {
        if (i != 0) *out++ = '.';
        out = put_octet(out, address[i]);
    }
    return out;
}

char* put_hex(char* out, unsigned value) {
    static const char kDigits[] = "0123456789abcdef";
    bool started = false;
    for (int shift = 12; shift >= 0; shift -= 4) {
        const unsigned digit = (value >> shift) & 0xF;
        if (digit != 0 || started || shift == 0) {
            *out++ = kDigits[digit];
            started = true;
        }
    }
    return out;
}

char* put_ipv6(char* out, const std::uint8_t* address) {
    unsigned words[8];
    for (int i = 0; i < 8; ++i) words[i] = be16(address + 2 * i);
    // The longest run of zero words (the first of equal runs), if two or more long.
    int best = -1, best_length = 0;
    for (int i = 0; i < 8;) {
        if (words[i] != 0) {
            ++i;
            continue;
        }
        int j = i;
        while (j < 8 && words[j] == 0) ++j;
        if (j - i > best_length) {
            best = i;
            best_length = j - i;
        }
        i = j;
    }
    if (best_length < 2) best = -1;
    for (int i = 0; i < 8; ++i) {
        if (best >= 0 && i >= best && i < best + best_length) {
            if (i == best) *out++ = ':';
            continue;
        }
        if (i != 0) *out++ = ':';
        // ::a.b.c.d and ::ffff:a.b.c.d keep their IPv4 part dotted.
        if (i == 6 && best == 0 && (best_length == 6 || (best_length == 5 && words[5] == 0xFFFF))) {
            return put_ipv4(out, address + 12);
        }
        out = put_hex(out, words[i]);
    }
    if (best >= 0 && best + best_length == 8) *out++ = ':';
    return out;
}

}  // namespace

bool parse_frame(std::uint32_t link, const std::uint8_t* frame, std::size_t size, TransportPacket& out) {
    if (frame == nullptr) return false;
    switch (link) {
    case link_type::kEthernet:
        if (size < 14) return false;
        return parse_ethertype(be16(frame + 12), frame, 14, size, out);
    case link_type::kLinuxSll:
        if (size < 16) return false;
        return parse_ethertype(be16(frame + 14), frame, 16, size, out);
    case link_type::kLinuxSll2:
        if (size < 20) return false;
        return parse_ethertype(be16(frame), frame, 20, size, out);
    case link_type::kRaw:
    case link_type::kRawAlt:
    case link_type::kRawFile:
        return parse_ip(frame, size, out);
    case link_type::kIpv4:
        return parse_ipv4(frame, size, out);
    case link_type::kIpv6:
        return parse_ipv6(frame, size, out);
    case link_type::kNull:
    case link_type::kLoop:
        return parse_loopback(frame, size, out);
    default:
        return false;
    }
}

std::size_t format_address(std::uint8_t family, const std::uint8_t* address, char* out) {
    char* end = out;
    if (family == 4) end = put_ipv4(out, address);
    else if (family == 6) end = put_ipv6(out, address);
    *end = '\0';
    return static_cast<std::size_t>(end - out);
}

std::uint16_t classify_dns_message(const std::uint8_t* header, bool to_port, bool from_port) {
    const bool response = (header[2] & 0x80) != 0;
    if (!response) return to_port ? kQueryReceived : 0;
    if (!from_port) return 0;
    return (header[3] & 0x0F) == 0 ? kResponseSuccess : kResponseFailure;
}

bool DnsFrameReader::start(std::uint32_t link, const std::uint8_t* frame, std::size_t size, std::uint16_t port) {
    done_ = true;
    cut_off_ = false;
    texts_ready_ = false;
    if (!parse_frame(link, frame, size, packet_)) return false;
    if (packet_.source_port != port && packet_.destination_port != port) return false;
    port_ = port;
    offset_ = 0;
    done_ = false;
    return true;
}

bool DnsFrameReader::next(DnsMessageEvent& event) {
    while (!done_) {
        if (!packet_.tcp) {
            done_ = true;
            return emit(packet_.payload, packet_.payload_size, event);
        }
        // DNS over TCP: each message behind its 2-byte length. A message cut
        // off by the segment's end continues in a segment read on its own,
        // where it cannot be told apart from garbage, so it is given up.
        const std::uint32_t left = packet_.payload_size - offset_;
        if (left < 2 || be16(packet_.payload + offset_) > left - 2) {
            cut_off_ = left != 0;
            break;
        }
        const std::uint32_t length = be16(packet_.payload + offset_);
        const std::uint8_t* message = packet_.payload + offset_ + 2;
        offset_ += 2 + length;
        if (emit(message, length, event)) return true;
    }
    done_ = true;
    return false;
}

bool DnsFrameReader::emit(const std::uint8_t* message, std::uint32_t size, DnsMessageEvent& event) {
    if (size < kDnsHeaderSize) return false;
    const bool to_port = packet_.destination_port == port_;
    const bool from_port = packet_.source_port == port_;
    const std::uint16_t id = classify_dns_message(message, to_port, from_port);
    if (id == 0) return false;
    // Most frames of the port carry one message: the texts only for those.
    if (!texts_ready_) {
        const AddressText& source = text_of(packet_.family, packet_.source);
        source_text_ = std::string_view(source.text, source.length);
        const AddressText& destination = text_of(packet_.family, packet_.destination);
        destination_text_ = std::string_view(destination.text, destination.length);
        texts_ready_ = true;
    }
    const std::string_view source = source_text_;
    const std::string_view destination = destination_text_;
    event.event_id = id;
    event.tcp = packet_.tcp ? 1 : 0;
    event.server_ip = id == kQueryReceived ? destination : source;
    event.client_ip = id == kQueryReceived ? source : destination;
    event.message = message;
    event.size = size;
    return true;
}

const DnsFrameReader::AddressText& DnsFrameReader::text_of(std::uint8_t family, const std::uint8_t* address) {
    const std::size_t size = family == 4 ? 4 : 16;
    // Two slots, the one used last kept: a frame's source and destination
    // never push each other out.
    for (unsigned i = 0; i < 2; ++i) {
        if (texts_[i].family == family && std::memcmp(texts_[i].address, address, size) == 0) {
            next_text_ = i ^ 1;
            return texts_[i];
        }
    }
    AddressText& slot = texts_[next_text_];
    next_text_ ^= 1;
    slot.family = family;
    std::memcpy(slot.address, address, size);
    slot.length = format_address(family, address, slot.text);
    return slot;
}

std::int64_t capture_time_to_event_time(std::int64_t seconds, std::uint32_t nanoseconds) {
    return kEpochOffset + seconds * 10000000 + static_cast<std::int64_t>(nanoseconds / 100);
}

}  // namespace kr::traffic
