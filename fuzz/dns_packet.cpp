// Captured frames of every link type through the packet parser, and each
// DNS message found on through the whole Linux capture path: the event
// builder, the decoder with the trace data helper substitute, and the
// collector's parsers. Whatever the frame, nothing is read outside it, every
// message found lies inside it, and the event message that reaches the
// collector carries exactly the addresses and DNS bytes of the frame.
#include <arpa/inet.h>
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "capture/decoder.h"
#include "capture/etw_session.h"
#include "capture/tdh_api.h"
#include "model/message.h"
#include "substitute/event_builder.h"
#include "substitute/tdh_substitute.h"
#include "traffic/dns_packet.h"

namespace {

using namespace kr::capture;
using namespace kr::substitute;
using namespace kr::traffic;

void check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "dns packet fuzzer: %s\n", what);
        std::abort();
    }
}

bool inside(const std::uint8_t* p, std::size_t n, const std::uint8_t* frame, std::size_t size) {
    return p >= frame && n <= size && static_cast<std::size_t>(p - frame) <= size - n;
}

// The text must read back as the address it was made from.
void check_text(std::uint8_t family, const std::uint8_t* address, std::string_view text) {
    check(text.size() < kAddressTextSize, "address text too long");
    std::uint8_t back[16];
    const std::string copy(text);
    check(inet_pton(family == 4 ? AF_INET : AF_INET6, copy.c_str(), back) == 1, "address text does not parse");
    check(std::memcmp(back, address, family == 4 ? 4 : 16) == 0, "address text names another address");
}

struct Delivered {
    std::vector<std::uint8_t> message;
    int count = 0;
};

int on_message(const std::uint8_t* data, std::uint32_t length, void* context) {
    auto* delivered = static_cast<Delivered*>(context);
    delivered->message.assign(data, data + length);
    ++delivered->count;
    return 0;
}

constexpr std::uint32_t kLinks[] = {
    link_type::kNull,  link_type::kEthernet, link_type::kRaw,       link_type::kRawAlt,   link_type::kRawFile,
    link_type::kLoop,  link_type::kLinuxSll, link_type::kIpv4,      link_type::kIpv6,     link_type::kLinuxSll2,
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static DnsEventBuilder* builder = new DnsEventBuilder();
    static EtwSession* session = new EtwSession();
    tdh_api() = tdh_substitute_api();

    FuzzedDataProvider in(data, size);
    const std::uint8_t selector = in.ConsumeIntegral<std::uint8_t>();
    const std::uint32_t link = selector < 250 ? kLinks[selector % 10] : in.ConsumeIntegral<std::uint32_t>();
    const std::uint16_t port = in.ConsumeBool() ? 53 : in.ConsumeIntegral<std::uint16_t>();
    const std::int64_t seconds = in.ConsumeIntegralInRange<std::int64_t>(0, 0xFFFFFFFFLL);
    const std::uint32_t nanoseconds = in.ConsumeIntegralInRange<std::uint32_t>(0, 999999999);
    // An exact-size copy, so that any read past the frame is caught.
    const std::vector<std::uint8_t> bytes = in.ConsumeRemainingBytes<std::uint8_t>();
    auto frame_owner = std::make_unique<std::uint8_t[]>(bytes.size());
    std::uint8_t* frame = frame_owner.get();
    if (!bytes.empty()) std::memcpy(frame, bytes.data(), bytes.size());
    const std::size_t frame_size = bytes.size();

    TransportPacket packet;
    if (parse_frame(link, frame, frame_size, packet)) {
        check(packet.family == 4 || packet.family == 6, "family");
        check(inside(packet.payload, packet.payload_size, frame, frame_size), "payload outside the frame");
    }

    // Any 16 bytes as either family: the text reads back as the same address.
    if (frame_size >= 16) {
        char text[kAddressTextSize];
        for (std::uint8_t family : {std::uint8_t{4}, std::uint8_t{6}}) {
            const std::size_t n = format_address(family, frame, text);
            check(n == std::strlen(text), "address text length");
            check_text(family, frame, std::string_view(text, n));
        }
    }

    DnsFrameReader reader;
    if (!reader.start(link, frame, frame_size, port)) return 0;
    check(parse_frame(link, frame, frame_size, packet), "reader started on a frame the parser refuses");
    check(packet.source_port == port || packet.destination_port == port, "frame of another port");

    Delivered delivered;
    session->message_callback = on_message;
    session->callback_context = &delivered;
    DnsMessageEvent event;
    for (int messages = 0; reader.next(event); ++messages) {
        check(messages < 40000, "endless message walk");
        check(event.size >= kDnsHeaderSize && inside(event.message, event.size, frame, frame_size),
              "DNS message outside the frame");
        check(event.event_id >= kQueryReceived && event.event_id <= kResponseFailure, "event ID");
        check(event.tcp == (packet.tcp ? 1 : 0), "transport flag");
        const bool query = event.event_id == kQueryReceived;
        check(query == ((event.message[2] & 0x80) == 0), "query or response");
        check_text(packet.family, query ? packet.destination : packet.source, event.server_ip);
        check_text(packet.family, query ? packet.source : packet.destination, event.client_ip);

        const std::int64_t time = capture_time_to_event_time(seconds, nanoseconds);
        const EVENT_RECORD* record = builder->build(event.event_id, time, event.tcp, event.server_ip,
                                                    event.client_ip, event.message, event.size);
        if (record == nullptr) continue;  // larger than an event's user data can be
        delivered.count = 0;
        decode_event(*session, record);
        if (packet.family == 6) {
            check(delivered.count == 0, "an IPv6 client became a message");
            continue;
        }
        check(delivered.count == 1, "an IPv4 DNS message was not decoded");

        kr::collector::EventMessage parsed;
        std::string error;
        check(kr::collector::parse_event(kr::collector::Bytes(delivered.message.data(), delivered.message.size()),
                                         parsed, error),
              "the collector refuses the event message");
        check(parsed.client == event.client_ip && parsed.server == event.server_ip, "addresses changed");
        check(parsed.transport == event.tcp, "transport changed");
        check(parsed.time == static_cast<std::uint32_t>(seconds), "time changed");
        check(parsed.packet.size == event.size && std::memcmp(parsed.packet.data, event.message, event.size) == 0,
              "DNS bytes changed");
    }

    return 0;
}
