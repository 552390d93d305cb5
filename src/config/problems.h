#pragma once
// What the agent does not take as written in its configuration file: an
// unknown key, a key given again, a value that is not wholly valid for its
// key. The fallbacks stay as they are; each problem is said once (standard
// error and the log, and `agent --check` lists them). A fatal one, a `tls`
// that is neither on nor off or a tls-* key without `tls on`, keeps the
// agent from sending at all: never plaintext by accident.
#include <cstdint>
#include <string>
#include <vector>

#include "config/config.h"

namespace kr::config {

struct Problem {
    std::uint32_t line = 0;
    std::string text;  // e.g. queue-size "100M" is not a whole number: 100 is used
    bool fatal = false;
};

// In line order. Filled by read_settings and by the platform's capture keys;
// emptied by read_settings.
extern std::vector<Problem> problems;

// "Configuration line N: TEXT": the line printed and logged for it.
std::string problem_line(const Problem& problem);
bool has_fatal_problem();

void add_problem(const ConfigEntry& entry, const std::string& text, bool fatal = false);
// For a value read with the number rule: unless it is all digits (a minus
// sign first allowed) within min..max, a problem naming `used`, what the rule
// made of it. Nothing for a null entry.
void check_number(const ConfigEntry* entry, std::int64_t min, std::int64_t max, std::uint64_t used);

// Unknown and repeated keys, and the values of the keys read_settings reads.
void check_settings(const Config& config);

}  // namespace kr::config
