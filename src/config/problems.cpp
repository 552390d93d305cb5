#include "config/problems.h"

#include <algorithm>
#include <climits>

namespace kr::config {

std::vector<Problem> problems;

namespace {

// Every key that a build of the agent reads. Keys of the other system are
// known too: each build ignores them without a word (the sender names the
// TLS ones it ignores).
const char* const kKnownKeys[] = {"queue-size",     "target",   "logging",       "send-batch",
                                  "stats-interval", "ipv4-clients-only",         "etw-buffers",
                                  "tls",            "tls-ca",   "tls-name",      "tls-cert",
                                  "tls-key",        "tls-cert-thumbprint",       "capture",
                                  "capture-port",   "capture-buffer",            "log-file"};
const char* const kTlsKeys[] = {"tls-ca", "tls-name", "tls-cert", "tls-key", "tls-cert-thumbprint"};

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

std::string quoted(const std::string& text) { return "\"" + text + "\""; }

std::string lowercase(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

// "" for digits (a minus sign first allowed) within min..max, else what is wrong.
std::string number_fault(const std::string& text, std::int64_t min, std::int64_t max) {
    const std::size_t digits = !text.empty() && text[0] == '-' ? 1 : 0;
    if (digits == text.size()) return "is not a whole number";
    std::int64_t magnitude = 0;
    for (std::size_t i = digits; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') return "is not a whole number";
        magnitude = std::min<std::int64_t>(magnitude * 10 + (text[i] - '0'), std::int64_t{1} << 40);
    }
    const std::int64_t value = digits != 0 ? -magnitude : magnitude;
    if (value >= min && value <= max) return "";
    return "is out of range (" + std::to_string(min) + " to " + std::to_string(max) + ")";
}

// The word of a value that starts at `from`, and where the next word starts.
std::string word_at(const std::string& value, std::size_t from, std::size_t& next) {
    std::size_t end = from;
    while (end < value.size() && !is_space(value[end])) ++end;
    next = end;
    while (next < value.size() && is_space(value[next])) ++next;
    return value.substr(from, end - from);
}

// The port and time-out of "ADDR[:PORT][ TIMEOUT]"; the address is the socket
// layer's to judge (the run leaves out what it cannot read).
void check_target(const ConfigEntry& entry) {
    const std::string& value = entry.value;
    Target used;
    parse_target(value, used);
    const std::string head = "target " + quoted(value) + ": ";
    std::size_t next = 0;
    const std::size_t colon = value.find(':');
    if (colon != std::string::npos) {
        const std::string port = word_at(value, colon + 1, next);
        const std::string fault = number_fault(port, 1, 65535);
        if (!fault.empty()) add_problem(entry, head + "port " + quoted(port) + " " + fault + ": " +
                                                   std::to_string(used.port) + " is used");
    }
    std::size_t space = 0;
    while (space < value.size() && !is_space(value[space])) ++space;
    if (space == value.size()) return;
    word_at(value, space, next);
    const std::string timeout = word_at(value, next, next);
    const std::string fault = number_fault(timeout, 1, INT32_MAX);
    if (!fault.empty()) add_problem(entry, head + "time-out " + quoted(timeout) + " " + fault + ": " +
                                               std::to_string(used.timeout) + " is used");
    if (next < value.size()) add_problem(entry, head + quoted(value.substr(next)) + " after the time-out is ignored");
}

// Exactly on or off, in lower case, as the agent compares them.
void check_switch(const ConfigEntry* entry, const char* used) {
    if (entry == nullptr || entry->value == "on" || entry->value == "off") return;
    add_problem(*entry, entry->key + " " + quoted(entry->value) + " is neither on nor off: " + used + " is used");
}

// Plaintext only by choice: a tls that is neither on nor off, or a tls-* key
// while tls is not on, means the configuration wanted something it did not say.
void check_tls(const Config& config) {
    if (const ConfigEntry* on = config.find("tls")) {
        const std::string value = lowercase(on->value);
        if (value != "on" && value != "off") {
            add_problem(*on, "tls " + quoted(on->value) + " is neither on nor off: nothing is sent", true);
            return;
        }
    }
    if (tls.on) return;
    const ConfigEntry* first = nullptr;
    for (const char* key : kTlsKeys) {
        const ConfigEntry* entry = config.find(key);
        if (entry != nullptr && (first == nullptr || entry->line < first->line)) first = entry;
    }
    if (first != nullptr) add_problem(*first, first->key + " is set but tls is not on: nothing is sent", true);
}

}  // namespace

std::string problem_line(const Problem& problem) {
    return "Configuration line " + std::to_string(problem.line) + ": " + problem.text;
}

bool has_fatal_problem() {
    return std::any_of(problems.begin(), problems.end(), [](const Problem& p) { return p.fatal; });
}

void add_problem(const ConfigEntry& entry, const std::string& text, bool fatal) {
    const auto at = std::upper_bound(problems.begin(), problems.end(), entry.line,
                                     [](std::uint32_t line, const Problem& p) { return line < p.line; });
    problems.insert(at, Problem{entry.line, text, fatal});
}

void check_number(const ConfigEntry* entry, std::int64_t min, std::int64_t max, std::uint64_t used) {
    if (entry == nullptr) return;
    const std::string fault = number_fault(entry->value, min, max);
    if (!fault.empty()) {
        add_problem(*entry, entry->key + " " + quoted(entry->value) + " " + fault + ": " + std::to_string(used) +
                                " is used");
    }
}

void check_settings(const Config& config) {
    for (const auto& entry : config.entries()) {
        const auto known = std::find_if(std::begin(kKnownKeys), std::end(kKnownKeys),
                                        [&](const char* key) { return entry->key == key; });
        if (known == std::end(kKnownKeys)) {
            add_problem(*entry, "unknown key " + quoted(entry->key) + ": ignored");
        } else if (entry->key != "target" && config.find(entry->key.c_str()) != entry.get()) {
            add_problem(*entry, entry->key + " is given again: ignored (line " +
                                    std::to_string(config.find(entry->key.c_str())->line) + " counts)");
        }
    }
    check_number(config.find("queue-size"), 1, INT32_MAX, queue_size);
    check_number(config.find("send-batch"), 0, INT32_MAX, send_batch);
    check_number(config.find("stats-interval"), 0, kMaxStatsInterval, stats_interval);
    check_number(config.find("etw-buffers"), 0, INT32_MAX, etw_buffers);
    for (const auto& entry : config.entries()) {
        if (entry->key == "target") check_target(*entry);
    }
    const ConfigEntry* logging = config.find("logging");
    check_switch(logging, logging != nullptr && logging->value == "on" ? "on" : "off");
    check_switch(config.find("ipv4-clients-only"), ipv4_clients_only ? "on" : "off");
    check_tls(config);
}

}  // namespace kr::config
