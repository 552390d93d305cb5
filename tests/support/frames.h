#pragma once
// Builds captured frames byte by byte for the packet parser's tests, capture
// files and benchmarks: DNS messages, IPv4/IPv6 packets with UDP or TCP, and
// the link-layer headers in front of them. Headers are well formed (lengths
// and the IPv4 checksum right) unless a test changes the bytes afterwards.
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace kr::test {

using Bytes = std::vector<std::uint8_t>;

struct Endpoint {
    Bytes address;  // 4 bytes for IPv4, 16 for IPv6
    std::uint16_t port = 0;
};

Bytes ipv4_address(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d);
// Sixteen bytes from eight 16-bit groups.
Bytes ipv6_address(std::initializer_list<std::uint16_t> groups);

// A DNS message: header (id, QR, RCODE, RD, one question) and the question
// for `name` type A class IN.
Bytes dns_message(std::uint16_t id, bool response, std::uint8_t rcode, const std::string& name = "www.example.test");
// Messages behind their 2-byte lengths, as DNS over TCP carries them.
Bytes tcp_stream(std::initializer_list<Bytes> messages);

// An IP packet (IPv4 or IPv6 by the address size) carrying a UDP datagram
// or a TCP segment (flags PSH ACK) with the payload.
Bytes udp_packet(const Endpoint& from, const Endpoint& to, const Bytes& payload);
Bytes tcp_packet(const Endpoint& from, const Endpoint& to, const Bytes& payload);

// Link layers in front of an IP packet.
Bytes ethernet(const Bytes& ip, std::initializer_list<std::uint16_t> vlan_tpids = {});
Bytes linux_sll(const Bytes& ip);
Bytes linux_sll2(const Bytes& ip);
Bytes bsd_loopback(const Bytes& ip, std::uint32_t family, bool big_endian);

}  // namespace kr::test
