#pragma once
// The traffic of the fault-injection runs: DNS queries that the next
// in-process run of the agent captures, offered the way the platform's build
// captures (a replayed capture file on Linux, events fed to the trace
// substitute on Windows). Platform parts: fault_capture_posix.cpp / _win.cpp.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "support/log_capture.h"

namespace kr::agent::test {

struct CapturedQuery {
    std::array<std::uint8_t, 4> client;
    std::array<std::uint8_t, 4> server;
    std::vector<std::uint8_t> dns;
};

// The capture time of every query, in seconds since 1970.
constexpr std::uint32_t kCaptureSeconds = 1700000000;

inline std::string address_text(const std::array<std::uint8_t, 4>& address) {
    return std::to_string(address[0]) + "." + std::to_string(address[1]) + "." + std::to_string(address[2]) + "." +
           std::to_string(address[3]);
}

// Makes the queries the next run captures; returns the configuration lines
// that select them ("" where none are needed).
std::string prepare_capture(const kr::test::TempDir& dir, const std::vector<CapturedQuery>& queries);

// An error number the platform's socket layer gives for a failed call.
int injected_socket_error();

}  // namespace kr::agent::test
