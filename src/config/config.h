#pragma once
// The configuration file: a key/value store read from one text file, and the
// process-wide settings taken from it. Every missing or malformed value
// falls back to its default, and is named as a problem (problems.h).
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kr::config {

struct ConfigEntry {
    std::string key;    // lowercased (A-Z only)
    std::string value;  // byte for byte as written
    std::uint32_t line = 0;  // of the file, from 1 (the pieces of a long line share it)
};

// Ordered list of entries in file order; repeated and unknown keys stay.
class Config {
public:
    // Empties the store and reads the file (a UTF-8 byte-order mark at its
    // start skipped). Throws ConfigError ("fopen(<path>) failed: <text>")
    // when it cannot be opened.
    void load(const char* path);
    // Value of the first entry with this key, or null. Owned by the store.
    const char* get(const char* key) const;
    // The first entry with this key, or null.
    const ConfigEntry* find(const char* key) const;
    // Copies of the values of every entry with this key, in file order.
    std::vector<std::string> get_all(const char* key) const;
    const std::vector<std::unique_ptr<ConfigEntry>>& entries() const { return entries_; }

private:
    std::vector<std::unique_ptr<ConfigEntry>> entries_;
};

struct Target {
    std::string ip;
    std::uint16_t port = 8100;
    std::uint32_t timeout = 5;  // seconds
};

constexpr std::uint32_t kDefaultQueueSize = 104857600;

// Process-wide settings, written by read_settings before any other thread
// starts and only read afterwards.
extern std::uint32_t queue_size;
extern std::vector<Target> targets;
// Most bytes of records the sender writes in one go; 0 sends record by record.
extern std::uint32_t send_batch;
// Seconds between two "Stats:" log lines; 0 (the default) writes none.
// At most kMaxStatsInterval, so that the interval fits in milliseconds.
extern std::uint32_t stats_interval;
constexpr std::uint32_t kMaxStatsInterval = 4294967;
// Minimum and maximum buffers of the trace session the agent creates; 0 (the
// default) leaves them to the system.
extern std::uint32_t etw_buffers;
// False only for `ipv4-clients-only off`: IPv6 clients are forwarded too.
extern bool ipv4_clients_only;

// How the sender protects its connections. Off (the default) sends plain TCP;
// the other fields count only when it is on. Empty means "not set".
struct TlsSettings {
    bool on = false;
    std::string ca;          // PEM file of the CAs that sign the collector's certificate; else the system's store
    std::string name;        // name the collector's certificate must carry; else the target's IP address
    std::string cert;        // client certificate (PEM), Linux
    std::string key;         // its private key (PEM), Linux
    std::string thumbprint;  // SHA-1 thumbprint (hex) of a client certificate in LocalMachine\My, Windows
};
extern TlsSettings tls;

// One line (or one 4095-byte piece of a longer line) into an entry; null
// when the line holds no key.
std::unique_ptr<ConfigEntry> parse_line(const char* line);
// Sets queue_size, send_batch, stats_interval, ipv4_clients_only, etw_buffers and tls and
// appends to targets; logs queue_size, the targets and send_batch when it is set.
// Lists what it does not take as written in `problems` (problems.h).
void read_settings(const Config& config);
// Fills the target from a value "ip[:port][ timeout]".
void parse_target(const std::string& value, Target& target);
// The number rule shared by queue-size, send-batch, port and time-out.
std::int32_t parse_number(const char* text);

}  // namespace kr::config
