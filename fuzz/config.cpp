// The configuration file on arbitrary bytes: parse_line on each piece the
// file reader makes, load on the bytes as a file, and read_settings on the
// result, each compared with a plain reference of the file rules.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "config/config.h"

namespace {

using kr::config::ConfigEntry;
using kr::config::Target;

void check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "config fuzzer: %s\n", what);
        std::abort();
    }
}

bool space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// The pieces fgets makes of the file with a 4096-byte buffer: each ends after
// a line feed or after 4095 bytes. A zero byte ends the piece's text early.
std::vector<std::string> pieces_of(const std::string& file) {
    std::vector<std::string> pieces;
    std::size_t at = 0;
    while (at < file.size()) {
        std::size_t end = at;
        while (end < file.size() && end - at < 4095) {
            if (file[end++] == '\n') break;
        }
        pieces.push_back(std::string(file.c_str() + at, ::strnlen(file.c_str() + at, end - at)));
        at = end;
    }
    return pieces;
}

// The line rule, written out step by step.
bool reference_line(const std::string& line, ConfigEntry& entry) {
    std::size_t i = 0;
    while (i < line.size() && space(line[i])) ++i;
    std::size_t key_start = i;
    while (i < line.size() && line[i] != '#' && !space(line[i])) ++i;
    if (i == key_start) return false;
    entry.key = line.substr(key_start, i - key_start);
    for (char& c : entry.key) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
    while (i < line.size() && space(line[i])) ++i;
    std::size_t comment = line.find('#', i);
    std::size_t end = comment == std::string::npos ? line.size() : comment;
    while (end > i && space(line[end - 1])) --end;
    entry.value = line.substr(i, end - i);
    return true;
}

std::int32_t reference_number(const char* p) {
    while (space(*p)) ++p;
    bool negative = *p == '-';
    if (*p == '-' || *p == '+') ++p;
    long long magnitude = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        if (magnitude < 100000000000LL) magnitude = magnitude * 10 + (*p - '0');
    }
    long long value = negative ? -magnitude : magnitude;
    if (value > 2147483647LL) return 2147483647;
    if (value < -2147483648LL) return INT32_MIN;
    return static_cast<std::int32_t>(value);
}

Target reference_target(const std::string& value) {
    Target t;
    std::size_t ip_end = value.size();
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (space(value[i])) {
            ip_end = i;
            std::size_t j = i;
            while (j < value.size() && space(value[j])) ++j;
            auto timeout = static_cast<std::uint32_t>(reference_number(value.c_str() + j));
            if (timeout != 0) t.timeout = timeout;
            break;
        }
    }
    std::size_t colon = value.find(':');
    if (colon != std::string::npos) {
        ip_end = colon;
        auto port = static_cast<std::uint16_t>(reference_number(value.c_str() + colon + 1) & 0xFFFF);
        if (port != 0) t.port = port;
    }
    t.ip = value.substr(0, ip_end);
    return t;
}

// An in-memory file the configuration reader opens by path.
struct MemoryFile {
    MemoryFile() {
        fd = memfd_create("fuzz-config", 0);
        check(fd >= 0, "memfd_create failed");
        path = "/proc/self/fd/" + std::to_string(fd);
    }
    void fill(const std::uint8_t* data, std::size_t size) {
        check(ftruncate(fd, 0) == 0, "ftruncate failed");
        check(pwrite(fd, data, size, 0) == static_cast<ssize_t>(size), "pwrite failed");
    }
    int fd;
    std::string path;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static MemoryFile file;
    const std::string text(reinterpret_cast<const char*>(data), size);

    std::vector<ConfigEntry> expected;
    const std::vector<std::string> pieces = pieces_of(text);
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        ConfigEntry want;
        const bool has_key = reference_line(pieces[i], want);
        auto got = kr::config::parse_line(pieces[i].c_str());
        check(has_key == (got != nullptr), "parse_line: entry or not");
        if (got) {
            check(got->key == want.key, "parse_line: key");
            check(got->value == want.value, "parse_line: value");
        }
        // The file reader skips a UTF-8 byte-order mark before the first line.
        const bool bom = i == 0 && pieces[i].compare(0, 3, "\xEF\xBB\xBF") == 0;
        if (bom ? reference_line(pieces[i].substr(3), want) : has_key) expected.push_back(want);
    }

    file.fill(data, size);
    kr::config::Config config;
    config.load(file.path.c_str());
    const auto& entries = config.entries();
    check(entries.size() == expected.size(), "load: entry count");
    for (std::size_t i = 0; i < entries.size(); ++i) {
        check(entries[i]->key == expected[i].key && entries[i]->value == expected[i].value, "load: entry");
    }

    // Lookups: the first match, and every match in order.
    const std::string keys[] = {"queue-size", "target", "logging", expected.empty() ? "" : expected[0].key};
    for (const std::string& key : keys) {
        const char* first = config.get(key.c_str());
        std::vector<std::string> all;
        for (const ConfigEntry& e : expected) {
            if (e.key == key) all.push_back(e.value);
        }
        check(all.empty() ? first == nullptr : (first != nullptr && all[0] == first), "get");
        check(config.get_all(key.c_str()) == all, "get_all");
    }

    kr::config::queue_size = kr::config::kDefaultQueueSize;
    kr::config::targets.clear();
    kr::config::read_settings(config);
    std::uint32_t want_size = kr::config::kDefaultQueueSize;
    if (const char* q = config.get("queue-size")) {
        std::int32_t n = reference_number(q);
        if (n != 0) want_size = static_cast<std::uint32_t>(n);
    }
    check(kr::config::queue_size == want_size, "read_settings: queue_size");
    const auto values = config.get_all("target");
    check(kr::config::targets.size() == values.size(), "read_settings: target count");
    for (std::size_t i = 0; i < values.size(); ++i) {
        const Target want = reference_target(values[i]);
        const Target& got = kr::config::targets[i];
        check(got.ip == want.ip && got.port == want.port && got.timeout == want.timeout, "read_settings: target");
        check(got.port != 0 && got.timeout != 0, "read_settings: zero port or time-out");
    }
    kr::config::targets.clear();
    return 0;
}
