#include "outputs/dnstap_message.h"

#include <arpa/inet.h>

#include <cstring>
#include <string>

#include "dnstap.pb-c.h"

namespace kr::collector {

namespace {

// An address text as raw bytes: 4 for IPv4, 16 for IPv6; 0 when it is
// neither (the event carries whatever text the DNS server wrote). The zone of
// a scoped IPv6 address ("fe80::1%eth0") has no field in a message: dropped.
std::size_t raw_address(std::string_view text, std::uint8_t (&bytes)[16]) {
    text = text.substr(0, text.find('%'));
    char buffer[INET6_ADDRSTRLEN];
    if (text.empty() || text.size() >= sizeof buffer) {
        return 0;
    }
    std::memcpy(buffer, text.data(), text.size());
    buffer[text.size()] = '\0';
    if (inet_pton(AF_INET, buffer, bytes) == 1) {
        return 4;
    }
    return inet_pton(AF_INET6, buffer, bytes) == 1 ? 16 : 0;
}

// IPv4 bytes in their ::ffff: mapped IPv6 form, for a message whose family is INET6.
void map_to_ipv6(std::uint8_t (&bytes)[16]) {
    std::memmove(bytes + 12, bytes, 4);
    std::memset(bytes, 0, 10);
    bytes[10] = 0xFF;
    bytes[11] = 0xFF;
}

ProtobufCBinaryData binary(const void* data, std::size_t size) {
    return {size, static_cast<std::uint8_t*>(const_cast<void*>(data))};
}

}  // namespace

std::string_view peer_address(std::string_view peer) {
    if (!peer.empty() && peer.front() == '[') {
        const std::size_t end = peer.find(']');
        return end == std::string_view::npos ? peer : peer.substr(1, end - 1);
    }
    return peer.substr(0, peer.rfind(':'));
}

void encode_dnstap(std::string_view identity, std::string_view version, const EventMessage& event,
                   std::vector<std::uint8_t>& out) {
    Dnstap__Message message = DNSTAP__MESSAGE__INIT;
    // The event does not say which of the DNS server's events it was: the QR
    // bit does (a query is event 256, a response event 257 or 258). Its time
    // is in whole seconds; the nanoseconds are given as 0 because readers
    // show no time without them.
    const bool response = event.packet.size > 2 && (event.packet.data[2] & 0x80) != 0;
    const ProtobufCBinaryData packet = binary(event.packet.data, event.packet.size);
    if (response) {
        message.type = DNSTAP__MESSAGE__TYPE__CLIENT_RESPONSE;
        message.has_response_time_sec = 1;
        message.response_time_sec = event.time;
        message.has_response_time_nsec = 1;
        message.has_response_message = 1;
        message.response_message = packet;
    } else {
        message.type = DNSTAP__MESSAGE__TYPE__CLIENT_QUERY;
        message.has_query_time_sec = 1;
        message.query_time_sec = event.time;
        message.has_query_time_nsec = 1;
        message.has_query_message = 1;
        message.query_message = packet;
    }
    message.has_socket_protocol = 1;
    message.socket_protocol = event.tcp() ? DNSTAP__SOCKET_PROTOCOL__TCP : DNSTAP__SOCKET_PROTOCOL__UDP;

    // One family for both addresses, the client's; an IPv4 server beside an
    // IPv6 client is given in its mapped form, as the capture file does.
    std::uint8_t client[16];
    std::uint8_t server[16];
    const std::size_t client_size = raw_address(event.client, client);
    std::size_t server_size = raw_address(event.server, server);
    if (client_size == 16 && server_size == 4) {
        map_to_ipv6(server);
        server_size = 16;
    }
    if (client_size != 0) {
        message.has_socket_family = 1;
        message.socket_family = client_size == 4 ? DNSTAP__SOCKET_FAMILY__INET : DNSTAP__SOCKET_FAMILY__INET6;
        message.has_query_address = 1;
        message.query_address = binary(client, client_size);
        if (server_size == client_size) {
            message.has_response_address = 1;
            message.response_address = binary(server, server_size);
        }
    }

    Dnstap__Dnstap frame = DNSTAP__DNSTAP__INIT;
    frame.type = DNSTAP__DNSTAP__TYPE__MESSAGE;
    frame.message = &message;
    frame.has_identity = 1;
    frame.identity = binary(identity.data(), identity.size());
    frame.has_version = 1;
    frame.version = binary(version.data(), version.size());
    out.resize(dnstap__dnstap__get_packed_size(&frame));
    dnstap__dnstap__pack(&frame, out.data());
}

}  // namespace kr::collector
