#include "packet_synth.h"

#include <algorithm>

namespace kr::collector {

namespace {

constexpr std::size_t kIpHeader = 20;
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

// Sum over the pseudo header that UDP and TCP checksums cover.
std::uint32_t pseudo_header_sum(const std::uint8_t* ip, std::uint8_t protocol, std::size_t length) {
    std::uint8_t pseudo[12];
    std::copy(ip + 12, ip + 20, pseudo);
    pseudo[8] = 0;
    pseudo[9] = protocol;
    put16(pseudo + 10, static_cast<std::uint32_t>(length));
    return checksum_add(0, pseudo, sizeof pseudo);
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
    std::uint32_t client = 0;
    std::uint32_t server = 0;
    if (!parse_ipv4(event.client, client)) {
        error = "client address '" + std::string(event.client) + "' is not IPv4 dotted text";
        return false;
    }
    if (!parse_ipv4(event.server, server)) {
        error = "server address '" + std::string(event.server) + "' is not IPv4 dotted text";
        return false;
    }
    const Bytes dns = event.packet;
    const bool tcp = event.tcp();
    const std::size_t transport_size = tcp ? kTcpHeader + 2 + dns.size : kUdpHeader + dns.size;
    if (kIpHeader + transport_size > kMaxDatagram) {
        error = "DNS packet of " + std::to_string(dns.size) + " bytes does not fit one IPv4 datagram";
        return false;
    }
    const bool response = dns.size > 2 && (dns.data[2] & 0x80) != 0;
    const std::uint16_t client_port =
        static_cast<std::uint16_t>(kEphemeralBase + (dns.size >= 2 ? read_be16(dns.data) & 0x3FFF : 0));
    const std::uint32_t src = response ? server : client;
    const std::uint32_t dst = response ? client : server;
    const std::uint16_t src_port = response ? kDnsPort : client_port;
    const std::uint16_t dst_port = response ? client_port : kDnsPort;

    packet.assign(kIpHeader + transport_size, 0);
    std::uint8_t* ip = packet.data();
    ip[0] = 0x45;  // version 4, 5-word header
    put16(ip + 2, static_cast<std::uint32_t>(packet.size()));
    put16(ip + 4, ip_id_++);
    put16(ip + 6, 0x4000);  // don't fragment
    ip[8] = 64;
    ip[9] = tcp ? kProtoTcp : kProtoUdp;
    put32(ip + 12, src);
    put32(ip + 16, dst);
    put16(ip + 10, checksum_finish(checksum_add(0, ip, kIpHeader)));

    std::uint8_t* segment = ip + kIpHeader;
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
        checksum_add(pseudo_header_sum(ip, ip[9], transport_size), segment, transport_size);
    std::uint16_t check = checksum_finish(sum);
    if (!tcp && check == 0) {
        check = 0xFFFF;  // 0 would mean "no checksum" for UDP
    }
    put16(segment + (tcp ? 16 : 6), check);
    return true;
}

}  // namespace kr::collector
