#pragma once
// Event times as people read them, in the JSON lines and the per-agent lines.
#include <cstdint>
#include <string>

namespace kr::collector {

// "YYYY-MM-DDTHH:MM:SSZ" for seconds since 1970-01-01T00:00:00Z.
std::string iso_time(std::uint32_t seconds);

}  // namespace kr::collector
