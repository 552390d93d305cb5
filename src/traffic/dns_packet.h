#pragma once
// Finds the DNS messages in captured frames, without I/O or allocation, so
// that the same code serves the live capture, file replays, tests and fuzzing
// on every platform. Every length is checked against the bytes captured:
// truncated, malformed and non-DNS frames yield nothing.
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace kr::traffic {

// Link-layer header types, numbered as capture libraries report them.
namespace link_type {
constexpr std::uint32_t kNull = 0;       // BSD loopback: 4-byte address family, host byte order
constexpr std::uint32_t kEthernet = 1;   // with any number of 802.1Q / 802.1ad tags
constexpr std::uint32_t kRaw = 12;       // raw IPv4 or IPv6 (DLT_RAW as Linux numbers it)
constexpr std::uint32_t kRawAlt = 14;    // DLT_RAW on OpenBSD
constexpr std::uint32_t kRawFile = 101;  // LINKTYPE_RAW, the number capture files use
constexpr std::uint32_t kLoop = 108;     // OpenBSD loopback: address family in network byte order
constexpr std::uint32_t kLinuxSll = 113;
constexpr std::uint32_t kIpv4 = 228;
constexpr std::uint32_t kIpv6 = 229;
constexpr std::uint32_t kLinuxSll2 = 276;
}  // namespace link_type

// An IP packet's UDP or TCP payload and its endpoints. The payload points
// into the frame it was found in.
struct TransportPacket {
    std::uint8_t family = 0;  // 4 or 6
    bool tcp = false;
    std::uint8_t source[16] = {};       // address bytes, network order (4 used for IPv4)
    std::uint8_t destination[16] = {};
    std::uint16_t source_port = 0;
    std::uint16_t destination_port = 0;
    const std::uint8_t* payload = nullptr;
    std::uint32_t payload_size = 0;
};

// Reads the link layer, IPv4 or IPv6 (with extension headers) and the UDP or
// TCP header of one frame of `size` captured bytes. False for anything else:
// another link or network protocol, an IPv4 or IPv6 fragment, a header that
// is malformed or not wholly captured, or an IP packet longer than the
// capture (a frame cut by the snapshot length). Bytes after the IP packet
// (Ethernet padding) are ignored.
bool parse_frame(std::uint32_t link, const std::uint8_t* frame, std::size_t size, TransportPacket& out);

// Room for the longest address text and its NUL.
constexpr std::size_t kAddressTextSize = 46;
// The usual text of an address: dotted IPv4, or IPv6 with lower-case hex,
// the longest run of two or more zero groups written "::" and IPv4-mapped
// and IPv4-compatible addresses ending in dotted form. Writes the NUL and
// returns the length without it.
std::size_t format_address(std::uint8_t family, const std::uint8_t* address, char* out);

// Event IDs of the DNS server provider that captured messages become.
constexpr std::uint16_t kQueryReceived = 256;
constexpr std::uint16_t kResponseSuccess = 257;
constexpr std::uint16_t kResponseFailure = 258;
// The DNS header; anything shorter is not a DNS message.
constexpr std::uint32_t kDnsHeaderSize = 12;

// One DNS message of a frame, as the server's trace event it becomes.
struct DnsMessageEvent {
    std::uint16_t event_id = 0;  // 256 query in, 257 response with RCODE 0, 258 other response
    std::uint8_t tcp = 0;
    std::string_view server_ip;  // the address on the port's side
    std::string_view client_ip;  // the other side
    const std::uint8_t* message = nullptr;
    std::uint32_t size = 0;
};

// The event ID of a message sent to (to_port) or from the server's port, or
// 0 when it is not one the server's trace reports: a query (QR clear) going
// to the port is 256; a response (QR set) coming from it is 257 when its
// RCODE is 0, else 258. `header` holds at least kDnsHeaderSize bytes.
std::uint16_t classify_dns_message(const std::uint8_t* header, bool to_port, bool from_port);

// Walks the DNS messages of one frame: the UDP payload, or every whole
// length-prefixed message of a TCP segment (one cut off at the segment's end
// is skipped). The frame must stay valid and unchanged while it is read; the
// texts and pointers of an event are valid until the next start. One thread.
class DnsFrameReader {
public:
    // Starts on a frame; false when it holds no UDP or TCP traffic of the port.
    bool start(std::uint32_t link, const std::uint8_t* frame, std::size_t size, std::uint16_t port);
    // The next DNS message of the frame; false when there is none left.
    bool next(DnsMessageEvent& event);
    // True once next has given up on a TCP message cut off by the segment's end.
    bool cut_off() const { return cut_off_; }

private:
    bool emit(const std::uint8_t* message, std::uint32_t size, DnsMessageEvent& event);
    // The text of an address, formatted once for a run of packets between
    // the same two hosts (a server's address is in every one of them).
    struct AddressText {
        std::uint8_t family = 0;
        std::uint8_t address[16] = {};
        char text[kAddressTextSize] = {};
        std::size_t length = 0;
    };
    const AddressText& text_of(std::uint8_t family, const std::uint8_t* address);

    TransportPacket packet_;
    std::uint16_t port_ = 0;
    std::uint32_t offset_ = 0;
    bool done_ = true;
    bool cut_off_ = false;
    bool texts_ready_ = false;
    std::string_view source_text_;
    std::string_view destination_text_;
    AddressText texts_[2];
    unsigned next_text_ = 0;  // the slot a new address replaces
};

// A capture time stamp as 100-ns units since 1601-01-01 UTC (the time base
// of trace events); the nanoseconds are truncated to whole units.
std::int64_t capture_time_to_event_time(std::int64_t seconds, std::uint32_t nanoseconds);

}  // namespace kr::traffic
