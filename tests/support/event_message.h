#pragma once
// The event message a DNS event should become, built independently of the
// decoder: 02, time (big-endian), client, server, transport flag, packet.
#include <cstdint>
#include <string>
#include <vector>

namespace kr::test {

inline std::vector<std::uint8_t> event_message(std::uint32_t time, const std::string& client,
                                               const std::string& server, std::uint8_t tcp,
                                               const std::vector<std::uint8_t>& packet) {
    std::vector<std::uint8_t> m = {2, static_cast<std::uint8_t>(time >> 24), static_cast<std::uint8_t>(time >> 16),
                                   static_cast<std::uint8_t>(time >> 8), static_cast<std::uint8_t>(time)};
    m.push_back(static_cast<std::uint8_t>(client.size()));
    m.insert(m.end(), client.begin(), client.end());
    m.push_back(static_cast<std::uint8_t>(server.size()));
    m.insert(m.end(), server.begin(), server.end());
    m.push_back(tcp);
    m.insert(m.end(), packet.begin(), packet.end());
    return m;
}

}  // namespace kr::test
