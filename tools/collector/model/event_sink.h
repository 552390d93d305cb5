#pragma once
// Where the input hands the events it has checked. The outputs implement it
// and main.cpp connects the two, so the input knows no output.
#include <string>
#include <string_view>

#include "model/message.h"

namespace kr::collector {

class EventSink {
public:
    virtual ~EventSink() = default;

    // One event from the agent at `peer` ("ADDR:PORT") whose hello said `version`.
    virtual void event(std::string_view peer, std::string_view version, const EventMessage& event) = 0;
    // After every round of reads and at the end: writes out what is held.
    // False with the reason when events can no longer be written.
    virtual bool flush(std::string& error) = 0;
    // Asked for by the operator (SIGHUP, after a rotation moved the files):
    // writes out what is held and opens anew each file whose path now names
    // another file or none. False with the reason when one cannot be opened.
    virtual bool reopen(std::string& error) = 0;
};

}  // namespace kr::collector
