#pragma once
// The collector's command line.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>

namespace kr::collector {

constexpr std::size_t kDefaultMaxAgents = 1000;

struct ClickHouseOptions {
    std::string url;  // the HTTP interface, e.g. http://127.0.0.1:8123/?database=dns; "" for none
    std::string table = "dns_events";
    std::uint32_t batch_rows = 50000;
    std::uint32_t batch_ms = 1000;
    std::string spool_dir;  // "" for no spool
    std::uint64_t spool_max = 1024ull * 1024 * 1024;
    // Never printed. From --clickhouse-user / --clickhouse-password-file,
    // else the URL's user:password (taken out of `url`), else the password
    // in CLICKHOUSE_PASSWORD.
    std::string user;
    std::string password;
    std::string ca_file;  // --clickhouse-ca: a CA bundle for https; "" for the system's
};

// The listener's TLS: all paths "" means plaintext.
struct TlsOptions {
    std::string cert;       // PEM certificate chain, the collector's own first
    std::string key;        // PEM private key of that certificate
    std::string client_ca;  // PEM CA certificates; "" accepts agents without a certificate
    std::uint32_t handshake_timeout = 10;  // seconds an agent has to finish its handshake
};

// What the agent port tolerates from connections that have not sent their
// hello yet (pending): idle or slow ones are closed so that they never keep
// an agent out. Agents that sent their hello are never closed by these.
struct ListenerOptions {
    std::uint32_t hello_timeout = 10;       // seconds from accept to the hello
    std::size_t max_pending = 1024;         // pending connections in all
    std::size_t max_pending_per_address = 64;  // pending connections from one address
};

struct DnstapOptions {
    std::string path;      // "" when no dnstap file is written
    std::string socket;    // "unix:PATH" or "tcp:ADDR:PORT" of a receiver, "" for none
    std::string identity;  // of every agent's events; "" for each agent's address
    // Of one agent's events each, by its address as the collector prints it.
    std::map<std::string, std::string, std::less<>> agent_identities;
    std::string version;   // "" for the agent's version
    std::uint64_t queue_bytes = 64ull * 1024 * 1024;
};

// The live page: its address, and the password it asks for.
struct WebOptions {
    std::string address;   // "ADDR:PORT", "" for no page
    std::string password;  // the first line of --web-password-file; "" for none
    bool password_given = false;
};

struct Options {
    std::string listen = "127.0.0.1:8100";
    std::string json_path;   // "" when no JSON is written, "-" for standard output
    std::string pcap_path;   // "" when no capture file is written
    std::uint32_t max_record = 1024 * 1024;
    ClickHouseOptions clickhouse;
    DnstapOptions dnstap;
    std::uint32_t stats_interval = 0;  // seconds between stats lines, 0 for none
    std::string metrics;               // "ADDR:PORT" of the metrics endpoint, "" for none
    std::string metrics_password;      // the first line of --metrics-password-file; "" for none
    std::size_t max_agents = kDefaultMaxAgents;  // agents counted one by one
    TlsOptions tls;
    WebOptions web;
    ListenerOptions listener;
    bool help = false;
};

// Reads argv into `options` (starting from the defaults). False with the
// reason for a bad or unknown option. JSON goes to standard output unless
// --pcap, --clickhouse, --dnstap or --dnstap-socket is given without --json.
bool parse_options(int argc, const char* const* argv, Options& options, std::string& error);

// "ADDR:PORT" with a numeric IPv4 address, or "[ADDR]:PORT" for IPv6.
bool split_host_port(const std::string& text, std::string& host, std::uint16_t& port);

// `url` with the password of a user:password part replaced by "***", for
// printing.
std::string redacted_url(const std::string& url);

const char* usage_text();

// A numeric loopback address: 127.0.0.0/8 or [::1], with a port.
bool loopback_address(const std::string& address);

// The one line for a page that needs a password and has none; "" when the
// page may be served as asked.
std::string web_access_problem(const WebOptions& web);

// A --clickhouse-table value: letters, digits and '_' (not starting with a
// digit), optionally as "database.table". The ClickHouse output quotes it
// into its SQL as it is.
bool valid_table_name(const std::string& name);

}  // namespace kr::collector
