#pragma once
// An output that needs only the header and first question of each event
// (the live page's counts): the fan-out parses the packet once for it and
// the other outputs.
#include <string_view>

#include "model/dns.h"

namespace kr::collector {

class EventTap {
public:
    virtual ~EventTap() = default;

    // `client` is the event's client address text.
    virtual void event(std::string_view client, const DnsSummary& dns) = 0;
    // After every round of reads, before the outputs write out what they hold.
    virtual void end_round() = 0;
};

}  // namespace kr::collector
