#pragma once
// One JSON object per event, on one line, with fixed keys that scripts can
// rely on: peer, version, time, iso_time, client, server, tcp, size, then
// from the DNS packet id, qr, opcode, rcode, flags, qname, qtype, qclass,
// and error only when the packet does not parse (the header and question
// keys then appear only as far as they could be read; a packet without a
// question has no qname, qtype or qclass).
#include <cstdint>
#include <string>
#include <string_view>

#include "model/dns.h"
#include "model/message.h"

namespace kr::collector {

// Appends the line, '\n' included. Bytes that are not UTF-8 in the texts
// are replaced by U+FFFD rather than failing.
void append_json_line(std::string& out, std::string_view peer, std::string_view version, const EventMessage& event,
                      const DnsSummary& dns);

}  // namespace kr::collector
