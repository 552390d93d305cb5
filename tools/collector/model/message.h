#pragma once
// The two payloads a connection carries: the hello (format byte 1, then the
// agent's version text) that opens it, and the event messages (format byte 2)
// that follow.
#include <cstdint>
#include <string>
#include <string_view>

#include "model/bytes.h"

namespace kr::collector {

constexpr std::uint8_t kHelloFormat = 1;
constexpr std::uint8_t kEventFormat = 2;

// Fields of one event message; the views point into the record.
struct EventMessage {
    std::uint32_t time = 0;   // seconds since 1970-01-01T00:00:00Z
    std::string_view client;  // device address text
    std::string_view server;  // server address text
    std::uint8_t transport = 0;  // as sent: 0 UDP, anything else TCP
    Bytes packet;             // the raw DNS packet, possibly empty

    bool tcp() const { return transport != 0; }
};

// Each returns false and sets `error` to the problem when the record is not
// a well-formed hello / event message. `version` views the record.
bool parse_hello(Bytes record, std::string_view& version, std::string& error);
bool parse_event(Bytes record, EventMessage& event, std::string& error);

}  // namespace kr::collector
