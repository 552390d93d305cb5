#pragma once
// Capture files for the real agent to replay.
#include <string>

namespace kr::collector::test {

// `count` UDP queries from client 192.0.2.<agent> for the names
// a<agent>-<n>.test, so every event of every agent is told apart. False with
// the reason when the file cannot be written.
bool write_capture(const std::string& path, int agent, int count, std::string& error);

}  // namespace kr::collector::test
