#pragma once
// One event as a dnstap payload: a packed dnstap.Dnstap protobuf message, the
// data of one Frame Streams frame. What each field holds is in docs/dnstap.md.
#include <cstdint>
#include <string_view>
#include <vector>

#include "model/message.h"

namespace kr::collector {

constexpr std::string_view kDnstapContentType = "protobuf:dnstap.Dnstap";

// Replaces `out` with the packed message. `identity` names the agent (its
// address unless the operator chose a text), `version` is the agent's.
void encode_dnstap(std::string_view identity, std::string_view version, const EventMessage& event,
                   std::vector<std::uint8_t>& out);

// The address part of a peer's "ADDR:PORT" or "[ADDR]:PORT" text.
std::string_view peer_address(std::string_view peer);

}  // namespace kr::collector
