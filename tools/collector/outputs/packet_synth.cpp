#include "outputs/packet_synth.h"

#include <arpa/inet.h>

#include <algorithm>

namespace kr::collector {

namespace {

constexpr std::size_t kIpHeader = 20;
constexpr std::size_t kIp6Header = 40;
constexpr std::size_t kUdpHeader = 8;
constexpr std::size_t kTcpHeader = 20;
constexpr std::size_t kMaxDatagram = 65535;
constexpr std::uint8_t kProtoTcp = 6;
constexpr std::uint8_t kProtoUdp = 17;
constexpr std::uint16_t kEphemeralBase = 49152;
// Long runs with many clients would otherwise grow the flow table forever.
constexpr std::size_t kMaxFlows = 65536;

void put16(std::uint8_t* p, std::uint32_t value) {
    p[0] = static_cast<std::uint8_t>(value >> 8);
    p[1] = static_cast<std::uint8_t>(value);
}

void put32(std::uint8_t* p, std::uint32_t value) {
    put16(p, value >> 16);
    put16(p + 2, value);
}

// Sum over the pseudo header that UDP and TCP checksums cover: both
// addresses, the protocol and the transport length, whose layout differs
// between IPv4 and IPv6 but whose sum does not.
std::uint32_t pseudo_header_sum(const std::uint8_t* addresses, std::size_t address_bytes, std::uint8_t protocol,
                                std::size_t length) {
    std::uint8_t tail[4] = {0, protocol, 0, 0};
    put16(tail + 2, static_cast<std::uint32_t>(length));
    return checksum_add(checksum_add(0, addresses, address_bytes), tail, sizeof tail);
}

}  // namespace

bool parse_ipv4(std::string_view text, std::uint32_t& address) {
    std::uint32_t result = 0;
    std::size_t pos = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (pos >= text.size() || text[pos] != '.') {
                return false;
            }
            ++pos;
        }
        const std::size_t first = pos;
        unsigned value = 0;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && pos - first < 3) {
            value = value * 10 + static_cast<unsigned>(text[pos] - '0');
            ++pos;
        }
        const std::size_t digits = pos - first;
        if (digits == 0 || value > 255 || (digits > 1 && text[first] == '0')) {
            return false;
        }
        result = (result << 8) | value;
    }
    if (pos != text.size()) {
        return false;
    }
    address = result;
    return true;
}

bool parse_ip(std::string_view text, IpAddress& address) {
    std::uint32_t v4 = 0;
    if (parse_ipv4(text, v4)) {
        address.bytes = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
        put32(address.bytes.data() + 12, v4);
        address.v4 = true;
        return true;
    }
    const std::string without_zone(text.substr(0, text.find('%')));
    if (without_zone.find(':') == std::string::npos ||
        inet_pton(AF_INET6, without_zone.c_str(), address.bytes.data()) != 1) {
        return false;
    }
    address.v4 = false;
    return true;
}

std::uint32_t checksum_add(std::uint32_t sum, const std::uint8_t* data, std::size_t size) {
    std::size_t i = 0;
    for (; i + 1 < size; i += 2) {
        sum += read_be16(data + i);
    }
    if (i < size) {
        sum += std::uint32_t{data[i]} << 8;
    }
    while (sum >> 16) {
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return sum;
}

std::uint16_t checksum_finish(std::uint32_t sum) {
    return static_cast<std::uint16_t>(~sum & 0xFFFF);
}

std::uint32_t& PacketSynthesizer::sequence(const Flow& flow) {
    if (next_sequence_.size() >= kMaxFlows && next_sequence_.find(flow) == next_sequence_.end()) {
        next_sequence_.clear();
    }
    return next_sequence_[flow];
}

bool PacketSynthesizer::build(const EventMessage& event, std::vector<std::uint8_t>& packet, std::string& error) {
    IpAddress client;
    IpAddress server;
    if (!parse_ip(event.client, client)) {
        error = "client address '" + std::string(event.client) + "' is not IPv4 or IPv6 text";
        return false;
    }
    if (!parse_ip(event.server, server)) {
        error = "server address '" + std::string(event.server) + "' is not IPv4 or IPv6 text";
        return false;
    }
    const bool v4 = client.v4 && server.v4;
    const std::size_t ip_header = v4 ? kIpHeader : kIp6Header;
    const Bytes dns = event.packet;
    const bool tcp = event.tcp();
    const std::size_t transport_size = tcp ? kTcpHeader + 2 + dns.size : kUdpHeader + dns.size;
    // IPv4 counts its header in the 16-bit total length, IPv6 only the payload.
    if ((v4 ? kIpHeader : 0) + transport_size > kMaxDatagram) {
        error = "DNS packet of " + std::to_string(dns.size) + " bytes does not fit one " +
                (v4 ? "IPv4 datagram" : "IPv6 packet");
        return false;
    }
    const bool response = dns.size > 2 && (dns.data[2] & 0x80) != 0;
    const std::uint16_t client_port =
        static_cast<std::uint16_t>(kEphemeralBase + (dns.size >= 2 ? read_be16(dns.data) & 0x3FFF : 0));
    const Address& src = response ? server.bytes : client.bytes;
    const Address& dst = response ? client.bytes : server.bytes;
    const std::uint16_t src_port = response ? kDnsPort : client_port;
    const std::uint16_t dst_port = response ? client_port : kDnsPort;
    const std::uint8_t protocol = tcp ? kProtoTcp : kProtoUdp;

    packet.assign(ip_header + transport_size, 0);
    std::uint8_t* ip = packet.data();
    const std::uint8_t* addresses = nullptr;
    std::size_t address_bytes = 0;
    if (v4) {
        ip[0] = 0x45;  // version 4, 5-word header
        put16(ip + 2, static_cast<std::uint32_t>(packet.size()));
        put16(ip + 4, ip_id_++);
        put16(ip + 6, 0x4000);  // don't fragment
        ip[8] = 64;
        ip[9] = protocol;
        std::copy(src.begin() + 12, src.end(), ip + 12);
        std::copy(dst.begin() + 12, dst.end(), ip + 16);
        put16(ip + 10, checksum_finish(checksum_add(0, ip, kIpHeader)));
        addresses = ip + 12;
        address_bytes = 8;
    } else {
        ip[0] = 0x60;  // version 6, no traffic class or flow label
        put16(ip + 4, static_cast<std::uint32_t>(transport_size));
        ip[6] = protocol;
        ip[7] = 64;
        std::copy(src.begin(), src.end(), ip + 8);
        std::copy(dst.begin(), dst.end(), ip + 24);
        addresses = ip + 8;
        address_bytes = 32;
    }

    std::uint8_t* segment = ip + ip_header;
    if (tcp) {
        std::uint8_t* payload = segment + kTcpHeader;
        put16(payload, static_cast<std::uint32_t>(dns.size));
        std::copy(dns.data, dns.data + dns.size, payload + 2);
        const auto reverse = next_sequence_.find(Flow(dst, src, dst_port, src_port));
        const std::uint32_t ack = reverse == next_sequence_.end() ? 0 : reverse->second;
        std::uint32_t& seq = sequence(Flow(src, dst, src_port, dst_port));
        put16(segment, src_port);
        put16(segment + 2, dst_port);
        put32(segment + 4, seq);
        put32(segment + 8, ack);
        segment[12] = 5 << 4;   // 5-word header
        segment[13] = 0x18;     // PSH, ACK
        put16(segment + 14, 65535);
        seq += static_cast<std::uint32_t>(2 + dns.size);
    } else {
        put16(segment, src_port);
        put16(segment + 2, dst_port);
        put16(segment + 4, static_cast<std::uint32_t>(transport_size));
        std::copy(dns.data, dns.data + dns.size, segment + kUdpHeader);
    }
    const std::uint32_t sum =
        checksum_add(pseudo_header_sum(addresses, address_bytes, protocol, transport_size), segment, transport_size);
    std::uint16_t check = checksum_finish(sum);
    if (!tcp && check == 0) {
        check = 0xFFFF;  // 0 would mean "no checksum" for UDP (and is not allowed over IPv6)
    }
    put16(segment + (tcp ? 16 : 6), check);
    return true;
}

}  // namespace kr::collector
