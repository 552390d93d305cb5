#pragma once
// Capture files for the real agent to replay.
#include <functional>
#include <string>

namespace kr::collector::test {

// `count` UDP queries from client 192.0.2.<agent> for the names
// a<agent>-<n>.test, so every event of every agent is told apart, or for
// name(n). False with the reason when the file cannot be written.
bool write_capture(const std::string& path, int agent, int count, std::string& error,
                   const std::function<std::string(int)>& name = nullptr);

}  // namespace kr::collector::test
