#pragma once
// Dresses an event's DNS packet in synthesized IPv4 and UDP or TCP headers,
// so that packet tools can read the events as traffic between the client
// and the server's port 53.
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "message.h"

namespace kr::collector {

constexpr std::uint16_t kDnsPort = 53;

// Strict dotted IPv4 text: four decimal parts 0-255 without leading zeros.
// The result is in host order.
bool parse_ipv4(std::string_view text, std::uint32_t& address);

// Ones' complement sum in the manner of the Internet checksum, not yet
// complemented; chain calls by passing the previous result.
std::uint32_t checksum_add(std::uint32_t sum, const std::uint8_t* data, std::size_t size);
std::uint16_t checksum_finish(std::uint32_t sum);

// Builds raw IPv4 packets. Direction follows the DNS QR bit (a response
// travels server to client; a packet too short to tell counts as a query).
// The client's port is made up (49152 + the low 14 bits of the DNS id, so a
// query and its response share a flow). TCP segments carry the 2-byte length
// prefix and the message, with per-flow sequence numbers that advance by
// the payload. Not thread-safe.
class PacketSynthesizer {
public:
    // False, with the reason, when an address is not IPv4 dotted text or the
    // packet does not fit one IPv4 datagram.
    bool build(const EventMessage& event, std::vector<std::uint8_t>& packet, std::string& error);

private:
    using Flow = std::tuple<std::uint32_t, std::uint32_t, std::uint16_t, std::uint16_t>;
    std::uint32_t& sequence(const Flow& flow);

    std::uint16_t ip_id_ = 0;
    std::map<Flow, std::uint32_t> next_sequence_;
};

}  // namespace kr::collector
