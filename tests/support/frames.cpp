#include "support/frames.h"

#include <stdexcept>

namespace kr::test {
namespace {

void put16(Bytes& out, std::uint16_t value) {
    out.push_back(static_cast<std::uint8_t>(value >> 8));
    out.push_back(static_cast<std::uint8_t>(value));
}

void put32(Bytes& out, std::uint32_t value) {
    put16(out, static_cast<std::uint16_t>(value >> 16));
    put16(out, static_cast<std::uint16_t>(value));
}

void append(Bytes& out, const Bytes& more) { out.insert(out.end(), more.begin(), more.end()); }

std::uint16_t ipv4_checksum(const std::uint8_t* header, std::size_t size) {
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i + 1 < size; i += 2) sum += static_cast<std::uint32_t>((header[i] << 8) | header[i + 1]);
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint16_t>(~sum);
}

Bytes ip_packet(const Endpoint& from, const Endpoint& to, std::uint8_t protocol, const Bytes& segment) {
    if (from.address.size() != to.address.size()) throw std::invalid_argument("mixed address families");
    Bytes out;
    if (from.address.size() == 4) {
        out = {0x45, 0};
        put16(out, static_cast<std::uint16_t>(20 + segment.size()));
        put16(out, 0x1234);  // identification
        put16(out, 0x4000);  // don't fragment
        out.push_back(64);
        out.push_back(protocol);
        put16(out, 0);
        append(out, from.address);
        append(out, to.address);
        const std::uint16_t checksum = ipv4_checksum(out.data(), out.size());
        out[10] = static_cast<std::uint8_t>(checksum >> 8);
        out[11] = static_cast<std::uint8_t>(checksum);
    } else if (from.address.size() == 16) {
        out = {0x60, 0, 0, 0};
        put16(out, static_cast<std::uint16_t>(segment.size()));
        out.push_back(protocol);
        out.push_back(64);
        append(out, from.address);
        append(out, to.address);
    } else {
        throw std::invalid_argument("address of 4 or 16 bytes expected");
    }
    append(out, segment);
    return out;
}

}  // namespace

Bytes ipv4_address(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) { return {a, b, c, d}; }

Bytes ipv6_address(std::initializer_list<std::uint16_t> groups) {
    if (groups.size() != 8) throw std::invalid_argument("eight groups expected");
    Bytes out;
    for (std::uint16_t g : groups) put16(out, g);
    return out;
}

Bytes dns_message(std::uint16_t id, bool response, std::uint8_t rcode, const std::string& name) {
    Bytes out;
    put16(out, id);
    out.push_back(static_cast<std::uint8_t>((response ? 0x80 : 0) | 0x01));  // QR, RD
    out.push_back(static_cast<std::uint8_t>((response ? 0x80 : 0) | (rcode & 0x0F)));  // RA, RCODE
    put16(out, 1);
    put16(out, 0);
    put16(out, 0);
    put16(out, 0);
    std::size_t start = 0;
    while (start <= name.size()) {
        std::size_t dot = name.find('.', start);
        if (dot == std::string::npos) dot = name.size();
        if (dot > start) {
            out.push_back(static_cast<std::uint8_t>(dot - start));
            out.insert(out.end(), name.begin() + static_cast<std::ptrdiff_t>(start),
                       name.begin() + static_cast<std::ptrdiff_t>(dot));
        }
        start = dot + 1;
    }
    out.push_back(0);
    put16(out, 1);  // A
    put16(out, 1);  // IN
    return out;
}

Bytes tcp_stream(std::initializer_list<Bytes> messages) {
    Bytes out;
    for (const Bytes& m : messages) {
        put16(out, static_cast<std::uint16_t>(m.size()));
        append(out, m);
    }
    return out;
}

Bytes udp_packet(const Endpoint& from, const Endpoint& to, const Bytes& payload) {
    Bytes segment;
    put16(segment, from.port);
    put16(segment, to.port);
    put16(segment, static_cast<std::uint16_t>(8 + payload.size()));
    put16(segment, 0);  // no checksum: the parser never checks one
    append(segment, payload);
    return ip_packet(from, to, 17, segment);
}

Bytes tcp_packet(const Endpoint& from, const Endpoint& to, const Bytes& payload) {
    Bytes segment;
    put16(segment, from.port);
    put16(segment, to.port);
    put32(segment, 1000);  // sequence
    put32(segment, 2000);  // acknowledgement
    segment.push_back(0x50);  // 20-byte header
    segment.push_back(0x18);  // PSH ACK
    put16(segment, 65535);
    put16(segment, 0);
    put16(segment, 0);
    append(segment, payload);
    return ip_packet(from, to, 6, segment);
}

Bytes ethernet(const Bytes& ip, std::initializer_list<std::uint16_t> vlan_tpids) {
    Bytes out = {0x02, 0, 0, 0, 0, 0x01, 0x02, 0, 0, 0, 0, 0x02};
    std::uint16_t vid = 100;
    for (std::uint16_t tpid : vlan_tpids) {
        put16(out, tpid);
        put16(out, vid++);
    }
    put16(out, (ip[0] >> 4) == 6 ? 0x86DD : 0x0800);
    append(out, ip);
    return out;
}

Bytes linux_sll(const Bytes& ip) {
    Bytes out;
    put16(out, 0);       // packet type: to us
    put16(out, 772);     // ARPHRD_LOOPBACK
    put16(out, 6);       // address length
    out.insert(out.end(), 8, 0);
    put16(out, (ip[0] >> 4) == 6 ? 0x86DD : 0x0800);
    append(out, ip);
    return out;
}

Bytes linux_sll2(const Bytes& ip) {
    Bytes out;
    put16(out, (ip[0] >> 4) == 6 ? 0x86DD : 0x0800);
    put16(out, 0);  // reserved
    put32(out, 1);  // interface index
    put16(out, 1);  // ARPHRD_ETHER
    out.push_back(4);  // packet type: outgoing
    out.push_back(6);  // address length
    out.insert(out.end(), 8, 0);
    append(out, ip);
    return out;
}

Bytes bsd_loopback(const Bytes& ip, std::uint32_t family, bool big_endian) {
    Bytes out;
    if (big_endian) {
        put32(out, family);
    } else {
        for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(family >> (8 * i)));
    }
    append(out, ip);
    return out;
}

}  // namespace kr::test
