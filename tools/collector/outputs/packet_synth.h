#pragma once
// Dresses an event's DNS packet in synthesized IPv4 or IPv6 and UDP or TCP
// headers, so that packet tools can read the events as traffic between the
// client and the server's port 53.
#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "model/message.h"

namespace kr::collector {

constexpr std::uint16_t kDnsPort = 53;

// Strict dotted IPv4 text: four decimal parts 0-255 without leading zeros.
// The result is in host order.
bool parse_ipv4(std::string_view text, std::uint32_t& address);

// IPv4 dotted text, or IPv6 text (a "%zone" suffix is ignored: packets have
// no place for it). IPv4 comes out in its IPv4-mapped IPv6 form.
struct IpAddress {
    std::array<std::uint8_t, 16> bytes{};
    bool v4 = false;
};
bool parse_ip(std::string_view text, IpAddress& address);

// Ones' complement sum in the manner of the Internet checksum, not yet
// complemented; chain calls by passing the previous result.
std::uint32_t checksum_add(std::uint32_t sum, const std::uint8_t* data, std::size_t size);
std::uint16_t checksum_finish(std::uint32_t sum);

// Builds raw IP packets: IPv4 when both addresses are IPv4, otherwise IPv6
// (an IPv4 address then in its IPv4-mapped form). Direction follows the DNS QR bit (a response
// travels server to client; a packet too short to tell counts as a query).
// The client's port is made up (49152 + the low 14 bits of the DNS id, so a
// query and its response share a flow). TCP segments carry the 2-byte length
// prefix and the message, with per-flow sequence numbers that advance by
// the payload. Not thread-safe.
class PacketSynthesizer {
public:
    // False, with the reason, when an address is not IP address text or the
    // DNS packet does not fit one IP packet.
    bool build(const EventMessage& event, std::vector<std::uint8_t>& packet, std::string& error);

private:
    using Address = std::array<std::uint8_t, 16>;
    using Flow = std::tuple<Address, Address, std::uint16_t, std::uint16_t>;
    std::uint32_t& sequence(const Flow& flow);

    std::uint16_t ip_id_ = 0;
    std::map<Flow, std::uint32_t> next_sequence_;
};

}  // namespace kr::collector
