#include "config/config.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "config/config_error.h"
#include "config/config_file.h"
#include "config/problems.h"
#include "error/error.h"
#include "log/log.h"

namespace kr::config {

std::uint32_t queue_size = kDefaultQueueSize;
std::vector<Target> targets;
std::uint32_t send_batch = 0;
std::uint32_t stats_interval = 0;
std::uint32_t etw_buffers = 0;
bool ipv4_clients_only = true;
TlsSettings tls;

namespace {

// The C locale's whitespace. Written out rather than isspace() so that the
// result never depends on the current locale and bytes 0x80-0xFF (negative
// as plain char) are never whitespace.
bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

const char* skip_space(const char* p) {
    while (is_space(*p)) ++p;
    return p;
}

bool has_key(const ConfigEntry& entry, const char* key, std::size_t length) {
    return entry.key.size() == length && entry.key.compare(0, length, key, length) == 0;
}

bool equals_ignoring_case(const char* text, const char* lower) {
    for (; *text != '\0' && *lower != '\0'; ++text, ++lower) {
        if ((*text >= 'A' && *text <= 'Z' ? *text - 'A' + 'a' : *text) != *lower) return false;
    }
    return *text == *lower;
}

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

std::string value_of(const Config& config, const char* key) {
    const char* text = config.get(key);
    return text != nullptr ? text : "";
}

// `tls on` in any case turns it on; the sender logs what it uses. Any other
// value but off is a problem that keeps the agent from sending (problems.cpp).
void read_tls(const Config& config) {
    const char* on = config.get("tls");
    tls.on = on != nullptr && equals_ignoring_case(on, "on");
    tls.ca = value_of(config, "tls-ca");
    tls.name = value_of(config, "tls-name");
    tls.cert = value_of(config, "tls-cert");
    tls.key = value_of(config, "tls-key");
    tls.thumbprint = value_of(config, "tls-cert-thumbprint");
}

}  // namespace

void Config::load(const char* path) {
    entries_.clear();
    std::FILE* raw = open_config_file(path);
    if (raw == nullptr) {
        const int code = errno;
        throw ConfigError(error::crt_failure_text(std::string("fopen(") + path + ")", code).c_str(), code);
    }
    std::unique_ptr<std::FILE, FileCloser> file(raw);
    // fgets ends a piece after a line feed or after 4095 bytes, so a longer
    // line is parsed as several lines. A read error ends the file quietly.
    char buffer[4096];
    std::uint32_t line = 1;
    for (bool first = true; std::fgets(buffer, sizeof buffer, file.get()) != nullptr; first = false) {
        // Editors that save "UTF-8 with BOM" put these bytes before the first key.
        const char* text = first && std::strncmp(buffer, "\xEF\xBB\xBF", 3) == 0 ? buffer + 3 : buffer;
        if (auto entry = parse_line(text)) {
            entry->line = line;
            entries_.push_back(std::move(entry));
        }
        if (std::strchr(text, '\n') != nullptr) ++line;
    }
}

const char* Config::get(const char* key) const {
    const ConfigEntry* entry = find(key);
    return entry != nullptr ? entry->value.c_str() : nullptr;
}

const ConfigEntry* Config::find(const char* key) const {
    const std::size_t length = std::strlen(key);
    for (const auto& entry : entries_) {
        if (has_key(*entry, key, length)) return entry.get();
    }
    return nullptr;
}

std::vector<std::string> Config::get_all(const char* key) const {
    const std::size_t length = std::strlen(key);
    std::vector<std::string> values;
    for (const auto& entry : entries_) {
        if (has_key(*entry, key, length)) values.push_back(entry->value);
    }
    return values;
}

std::unique_ptr<ConfigEntry> parse_line(const char* line) {
    const char* key = skip_space(line);
    const char* key_end = key;
    while (*key_end != '\0' && *key_end != '#' && !is_space(*key_end)) ++key_end;
    if (key_end == key) return nullptr;

    // The value ends with its last non-whitespace byte before a comment.
    const char* value = skip_space(key_end);
    const char* value_end = value;
    for (const char* p = value; *p != '\0' && *p != '#'; ++p) {
        if (!is_space(*p)) value_end = p + 1;
    }

    auto entry = std::make_unique<ConfigEntry>();
    entry->key.assign(key, key_end);
    for (char& c : entry->key) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    entry->value.assign(value, value_end);
    return entry;
}

std::int32_t parse_number(const char* text) {
    const char* p = skip_space(text);
    const bool negative = *p == '-';
    if (*p == '+' || *p == '-') ++p;
    // The magnitude saturates just past the range, so any number of digits
    // is read without overflow and still clamps correctly.
    constexpr std::int64_t kLimit = std::int64_t{1} << 31;
    std::int64_t magnitude = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        magnitude = magnitude * 10 + (*p - '0');
        if (magnitude > kLimit) magnitude = kLimit;
    }
    if (negative) return static_cast<std::int32_t>(-magnitude);
    return static_cast<std::int32_t>(magnitude < kLimit ? magnitude : kLimit - 1);
}

void parse_target(const std::string& value, Target& target) {
    std::size_t ip_end = value.size();
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (is_space(value[i])) {
            ip_end = i;
            // parse_number skips the rest of the whitespace run itself.
            const auto timeout = static_cast<std::uint32_t>(parse_number(value.c_str() + i));
            if (timeout != 0) target.timeout = timeout;
            break;
        }
    }
    // A colon ends the address even when it stands after the whitespace.
    const std::size_t colon = value.find(':');
    if (colon != std::string::npos) {
        ip_end = colon;
        const auto port = static_cast<std::uint16_t>(parse_number(value.c_str() + colon + 1));
        if (port != 0) target.port = port;
    }
    target.ip.assign(value, 0, ip_end);
}

void read_settings(const Config& config) {
    problems.clear();
    if (const char* text = config.get("queue-size")) {
        const std::int32_t size = parse_number(text);
        if (size != 0) queue_size = static_cast<std::uint32_t>(size);
    }
    log::log_print("Config: queue-size = %u", queue_size);
    if (const char* text = config.get("send-batch")) {
        // A negative or unreadable value keeps the record-by-record sender.
        const std::int32_t bytes = parse_number(text);
        if (bytes > 0) send_batch = static_cast<std::uint32_t>(bytes);
    }
    if (send_batch != 0) log::log_print("Config: send-batch = %u", send_batch);

    for (const std::string& value : config.get_all("target")) {
        Target target;
        parse_target(value, target);
        log::log_print("Config: target = ip:%s port:%d timeout:%u", target.ip.c_str(), target.port,
                       target.timeout);
        targets.push_back(std::move(target));
    }

    // Not logged: without these keys the log stays as it always was.
    if (const char* text = config.get("stats-interval")) {
        const std::int32_t seconds = parse_number(text);
        if (seconds > 0) stats_interval = std::min(static_cast<std::uint32_t>(seconds), kMaxStatsInterval);
    }
    if (const char* text = config.get("ipv4-clients-only")) ipv4_clients_only = std::strcmp(text, "off") != 0;
    if (const char* text = config.get("etw-buffers")) {
        const std::int32_t count = parse_number(text);
        if (count > 0) etw_buffers = static_cast<std::uint32_t>(count);
    }
    read_tls(config);
    check_settings(config);
}

}  // namespace kr::config
