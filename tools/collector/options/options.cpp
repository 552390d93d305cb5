#include "options/options.h"

#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "outputs/clickhouse/clickhouse_rows.h"

namespace kr::collector {

namespace {

bool parse_number(const std::string& text, std::uint64_t limit, std::uint64_t& value) {
    if (text.empty() || text.size() > 20) {
        return false;
    }
    std::uint64_t result = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        result = result * 10 + static_cast<std::uint64_t>(c - '0');
        if (result > limit) {
            return false;
        }
    }
    value = result;
    return true;
}

// Where the user:password part of a URL is: [begin, at) before the '@'.
bool find_userinfo(const std::string& url, std::size_t& begin, std::size_t& at) {
    const std::size_t scheme = url.find("://");
    if (scheme == std::string::npos) {
        return false;
    }
    begin = scheme + 3;
    const std::size_t end = url.find_first_of("/?#", begin);
    at = url.rfind('@', end == std::string::npos ? std::string::npos : end - 1);
    return at != std::string::npos && at >= begin && (end == std::string::npos || at < end);
}

std::string percent_decoded(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
            out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

// Moves a user:password part of the URL into the options, so that no
// line the collector prints can carry it.
void take_url_credentials(ClickHouseOptions& options, std::string& url_user, std::string& url_password) {
    std::size_t begin = 0;
    std::size_t at = 0;
    if (!find_userinfo(options.url, begin, at)) {
        return;
    }
    const std::string userinfo = options.url.substr(begin, at - begin);
    const std::size_t colon = userinfo.find(':');
    url_user = percent_decoded(userinfo.substr(0, colon));
    url_password = colon == std::string::npos ? "" : percent_decoded(userinfo.substr(colon + 1));
    options.url.erase(begin, at + 1 - begin);
}

bool read_password_file(const std::string& path, std::string& password, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in.is_open()) {
        error = "cannot read --clickhouse-password-file " + path + ": " + std::strerror(errno);
        return false;
    }
    std::getline(in, password);  // the first line; a trailing newline is not part of it
    if (!password.empty() && password.back() == '\r') {
        password.pop_back();
    }
    return true;
}

bool parse_clickhouse_option(const std::string& name, const std::string& value, ClickHouseOptions& options,
                             std::string& error) {
    std::uint64_t number = 0;
    if (name == "--clickhouse") {
        if (value.compare(0, 7, "http://") != 0 && value.compare(0, 8, "https://") != 0) {
            error = "bad --clickhouse value '" + redacted_url(value) + "' (expected the HTTP interface's URL, e.g. "
                    "http://127.0.0.1:8123/?database=dns)";
            return false;
        }
        options.url = value;
    } else if (name == "--clickhouse-user") {
        if (value.empty()) {
            error = "--clickhouse-user needs a name";
            return false;
        }
        options.user = value;
    } else if (name == "--clickhouse-password-file") {
        if (!read_password_file(value, options.password, error)) {
            return false;
        }
    } else if (name == "--clickhouse-ca") {
        if (access(value.c_str(), R_OK) != 0) {
            error = "cannot read --clickhouse-ca " + value + ": " + std::strerror(errno);
            return false;
        }
        options.ca_file = value;
    } else if (name == "--clickhouse-table") {
        if (!valid_table_name(value)) {
            error = "bad --clickhouse-table value '" + value + "' (expected NAME or DATABASE.NAME of letters, "
                    "digits and _)";
            return false;
        }
        options.table = value;
    } else if (name == "--clickhouse-batch-rows") {
        if (!parse_number(value, 10000000, number) || number == 0) {
            error = "bad --clickhouse-batch-rows value '" + value + "' (expected 1 to 10000000)";
            return false;
        }
        options.batch_rows = static_cast<std::uint32_t>(number);
    } else if (name == "--clickhouse-batch-ms") {
        if (!parse_number(value, 3600000, number) || number == 0) {
            error = "bad --clickhouse-batch-ms value '" + value + "' (expected 1 to 3600000)";
            return false;
        }
        options.batch_ms = static_cast<std::uint32_t>(number);
    } else if (name == "--spool") {
        if (value.empty()) {
            error = "--spool needs a directory";
            return false;
        }
        options.spool_dir = value;
    } else if (name == "--spool-max") {
        if (!parse_number(value, ~std::uint64_t{0}, number) || number == 0) {
            error = "bad --spool-max value '" + value + "' (expected a number of bytes above 0)";
            return false;
        }
        options.spool_max = number;
    } else {
        error = "unknown option '" + name + "'";
        return false;
    }
    return true;
}

bool parse_dnstap_option(const std::string& name, const std::string& value, DnstapOptions& options,
                         std::string& error) {
    std::uint64_t number = 0;
    if (value.empty() && name != "--dnstap-queue") {
        error = name + " needs a value";
        return false;
    }
    if (name == "--dnstap") {
        options.path = value;
    } else if (name == "--dnstap-socket") {
        options.socket = value;  // checked when the sender starts
    } else if (name == "--dnstap-identity") {
        options.identity = value;
    } else if (name == "--dnstap-queue") {
        if (!parse_number(value, ~std::uint64_t{0}, number) || number < 65536) {
            error = "bad --dnstap-queue value '" + value + "' (expected a number of bytes, at least 65536)";
            return false;
        }
        options.queue_bytes = number;
    } else {
        error = "unknown option '" + name + "'";
        return false;
    }
    return true;
}

bool parse_tls_option(const std::string& name, const std::string& value, TlsOptions& options, std::string& error) {
    if (name == "--tls-handshake-timeout") {
        std::uint64_t number = 0;
        if (!parse_number(value, 3600, number) || number == 0) {
            error = "bad --tls-handshake-timeout value '" + value + "' (expected 1 to 3600 seconds)";
            return false;
        }
        options.handshake_timeout = static_cast<std::uint32_t>(number);
        return true;
    }
    std::string& path = name == "--tls-cert" ? options.cert : name == "--tls-key" ? options.key : options.client_ca;
    if (value.empty()) {
        error = name + " needs a path";
        return false;
    }
    path = value;
    return true;
}

// TLS options make sense only together: a certificate needs its key, and
// checking clients needs a TLS listener.
bool check_tls_options(const TlsOptions& tls, std::string& error) {
    if (tls.cert.empty() != tls.key.empty()) {
        error = "--tls-cert and --tls-key go together";
        return false;
    }
    if (tls.cert.empty() && (!tls.client_ca.empty() || tls.handshake_timeout != TlsOptions{}.handshake_timeout)) {
        error = "--tls-client-ca and --tls-handshake-timeout need --tls-cert and --tls-key";
        return false;
    }
    return true;
}

}  // namespace

std::string redacted_url(const std::string& url) {
    std::size_t begin = 0;
    std::size_t at = 0;
    if (!find_userinfo(url, begin, at)) {
        return url;
    }
    const std::size_t colon = url.find(':', begin);
    return colon < at ? url.substr(0, colon + 1) + "***" + url.substr(at) : url;
}

bool split_host_port(const std::string& text, std::string& host, std::uint16_t& port) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) {
        return false;
    }
    std::string address = text.substr(0, colon);
    if (address.front() == '[') {
        if (address.size() < 3 || address.back() != ']') {
            return false;
        }
        address = address.substr(1, address.size() - 2);
    } else if (address.find(':') != std::string::npos) {
        return false;  // an IPv6 address needs its brackets
    }
    std::uint64_t number = 0;
    if (!parse_number(text.substr(colon + 1), 65535, number)) {
        return false;
    }
    host = address;
    port = static_cast<std::uint16_t>(number);
    return true;
}

bool parse_options(int argc, const char* const* argv, Options& options, std::string& error) {
    bool json_given = false;
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        std::string value;
        bool has_value = false;
        const std::size_t equals = name.find('=');
        if (name.compare(0, 2, "--") == 0 && equals != std::string::npos) {
            value = name.substr(equals + 1);
            name = name.substr(0, equals);
            has_value = true;
        }
        if (name == "--help" || name == "-h") {
            options.help = true;
            continue;
        }
        if (name != "--listen" && name != "--json" && name != "--pcap" && name != "--max-record" &&
            name.compare(0, 12, "--clickhouse") != 0 && name != "--spool" && name != "--spool-max" &&
            name != "--stats-interval" && name != "--metrics" && name != "--max-agents" &&
            name.compare(0, 6, "--tls-") != 0 && name.compare(0, 8, "--dnstap") != 0) {
            error = "unknown option '" + std::string(argv[i]) + "'";
            return false;
        }
        if (!has_value) {
            if (i + 1 >= argc) {
                error = "option " + name + " needs a value";
                return false;
            }
            value = argv[++i];
        }
        if (name == "--listen") {
            std::string host;
            std::uint16_t port = 0;
            if (!split_host_port(value, host, port)) {
                error = "bad --listen value '" + value + "' (expected ADDR:PORT, e.g. 127.0.0.1:8100)";
                return false;
            }
            options.listen = value;
        } else if (name == "--json") {
            if (value.empty()) {
                error = "--json needs a path or -";
                return false;
            }
            options.json_path = value;
            json_given = true;
        } else if (name == "--pcap") {
            if (value.empty()) {
                error = "--pcap needs a path";
                return false;
            }
            options.pcap_path = value;
        } else if (name == "--metrics") {
            std::string host;
            std::uint16_t port = 0;
            if (!split_host_port(value, host, port)) {
                error = "bad --metrics value '" + value + "' (expected ADDR:PORT, e.g. 127.0.0.1:9100)";
                return false;
            }
            options.metrics = value;
        } else if (name == "--stats-interval") {
            std::uint64_t number = 0;
            if (!parse_number(value, 86400, number)) {
                error = "bad --stats-interval value '" + value + "' (expected 0 to 86400 seconds)";
                return false;
            }
            options.stats_interval = static_cast<std::uint32_t>(number);
        } else if (name == "--max-agents") {
            std::uint64_t number = 0;
            if (!parse_number(value, 100000, number) || number == 0) {
                error = "bad --max-agents value '" + value + "' (expected 1 to 100000)";
                return false;
            }
            options.max_agents = static_cast<std::size_t>(number);
        } else if (name == "--max-record") {
            std::uint64_t number = 0;
            if (!parse_number(value, 0xFFFFFFFFu, number) || number == 0) {
                error = "bad --max-record value '" + value + "' (expected 1 to 4294967295 bytes)";
                return false;
            }
            options.max_record = static_cast<std::uint32_t>(number);
        } else if (name.compare(0, 8, "--dnstap") == 0) {
            if (!parse_dnstap_option(name, value, options.dnstap, error)) {
                return false;
            }
        } else if (name == "--tls-cert" || name == "--tls-key" || name == "--tls-client-ca" ||
                   name == "--tls-handshake-timeout") {
            if (!parse_tls_option(name, value, options.tls, error)) {
                return false;
            }
        } else if (!parse_clickhouse_option(name, value, options.clickhouse, error)) {
            return false;
        }
    }
    if (!check_tls_options(options.tls, error)) {
        return false;
    }
    ClickHouseOptions& clickhouse = options.clickhouse;
    if (clickhouse.url.empty() && (clickhouse.table != ClickHouseOptions{}.table || !clickhouse.spool_dir.empty() ||
                                   !clickhouse.user.empty() || !clickhouse.password.empty() ||
                                   !clickhouse.ca_file.empty())) {
        error = "--clickhouse-table, --clickhouse-user, --clickhouse-password-file, --clickhouse-ca and --spool "
                "need --clickhouse URL";
        return false;
    }
    std::string url_user;
    std::string url_password;
    take_url_credentials(clickhouse, url_user, url_password);
    if (clickhouse.user.empty()) {
        clickhouse.user = url_user;
    }
    if (clickhouse.password.empty()) {
        const char* environment = std::getenv("CLICKHOUSE_PASSWORD");
        clickhouse.password = !url_password.empty() ? url_password : environment != nullptr ? environment : "";
    }
    if (clickhouse.user.empty() && !clickhouse.password.empty()) {
        clickhouse.user = "default";  // the user ClickHouse assumes when none is named
    }
    if ((options.dnstap.path.empty() && options.dnstap.socket.empty() && !options.dnstap.identity.empty()) ||
        (options.dnstap.socket.empty() && options.dnstap.queue_bytes != DnstapOptions{}.queue_bytes)) {
        error = "--dnstap-identity needs --dnstap or --dnstap-socket, --dnstap-queue needs --dnstap-socket";
        return false;
    }
    if (!json_given && options.pcap_path.empty() && options.clickhouse.url.empty() && options.dnstap.path.empty() &&
        options.dnstap.socket.empty()) {
        options.json_path = "-";
    }
    return true;
}

const char* usage_text() {
    return "usage: collector [--listen ADDR:PORT] [--json PATH] [--pcap PATH] [--max-record BYTES]\n"
           "                 [--clickhouse URL [--clickhouse-table NAME] [--clickhouse-batch-rows N]\n"
           "                  [--clickhouse-batch-ms MS] [--spool DIR [--spool-max BYTES]]\n"
           "                  [--clickhouse-user NAME] [--clickhouse-password-file PATH]\n"
           "                  [--clickhouse-ca FILE]]\n"
           "                 [--dnstap PATH] [--dnstap-socket unix:PATH|tcp:ADDR:PORT]\n"
           "                  [--dnstap-identity TEXT] [--dnstap-queue BYTES]\n"
           "                 [--stats-interval SECONDS] [--metrics ADDR:PORT] [--max-agents COUNT]\n"
           "                 [--tls-cert PATH --tls-key PATH [--tls-client-ca PATH]\n"
           "                  [--tls-handshake-timeout SECONDS]]\n"
           "\n"
           "Accepts agent connections and shows every event message they send.\n"
           "\n"
           "  --listen ADDR:PORT  address to listen on (default 127.0.0.1:8100); port 0 lets\n"
           "                      the system choose, the bound address is printed on stderr;\n"
           "                      IPv6 as [ADDR]:PORT\n"
           "  --json PATH         write one JSON object per event to PATH, '-' for standard\n"
           "                      output (the default unless another output is given)\n"
           "  --pcap PATH         write the events as a capture file of IP packets between\n"
           "                      client and server port 53 (UDP, or TCP for TCP events;\n"
           "                      IPv6 when either address is IPv6)\n"
           "  --max-record BYTES  largest record accepted (default 1048576)\n"
           "  --clickhouse URL    also insert the events into ClickHouse through its HTTP\n"
           "                      interface, e.g. http://127.0.0.1:8123/?database=dns; the\n"
           "                      table is created if missing, and one of another shape\n"
           "                      refused; URL parameters are settings for every request\n"
           "                      (a Distributed table needs insert_distributed_sync=1)\n"
           "  --clickhouse-table NAME  the table, NAME or DATABASE.NAME (default dns_events)\n"
           "  --clickhouse-user NAME  the ClickHouse user (default: the URL's, else none)\n"
           "  --clickhouse-password-file PATH\n"
           "                      the user's password: the first line of PATH; without it\n"
           "                      the URL's user:password, else $CLICKHOUSE_PASSWORD; a\n"
           "                      password in the URL is never printed, but every local\n"
           "                      user can read it in the process list\n"
           "  --clickhouse-ca FILE  CA certificates (PEM) to check an https server with,\n"
           "                      instead of the system's\n"
           "  --clickhouse-batch-rows N  rows that close a batch (default 50000)\n"
           "  --clickhouse-batch-ms MS   age in milliseconds that closes a batch (default 1000)\n"
           "  --spool DIR         keep batches ClickHouse did not take in DIR, replay them in\n"
           "                      order when it is back, also after a restart; without it they\n"
           "                      wait in memory (256 MiB at most, then the oldest is dropped);\n"
           "                      one collector per DIR (a second one exits); files that fail\n"
           "                      their checksum move to DIR/quarantine\n"
           "  --spool-max BYTES   bound of the spool; when full the oldest batch is dropped\n"
           "                      (default 1073741824)\n"
           "  --dnstap PATH       write the events as a dnstap file (Frame Streams,\n"
           "                      protobuf:dnstap.Dnstap): queries as CLIENT_QUERY,\n"
           "                      responses as CLIENT_RESPONSE; closed cleanly at exit\n"
           "  --dnstap-socket unix:PATH | tcp:ADDR:PORT\n"
           "                      send the same to a dnstap receiver (bidirectional\n"
           "                      Frame Streams); reconnects every second while it is\n"
           "                      away; what does not fit the queue is dropped and counted\n"
           "  --dnstap-identity TEXT  the dnstap identity (default: the agent's address)\n"
           "  --dnstap-queue BYTES  frames waiting for the receiver, at most (default\n"
           "                      67108864)\n"
           "  --stats-interval SECONDS\n"
           "                      every SECONDS, the summary line and one line per agent\n"
           "                      on stderr (default 0, none)\n"
           "  --metrics ADDR:PORT\n"
           "                      serve Prometheus metrics at http://ADDR:PORT/metrics;\n"
           "                      port 0 lets the system choose, the URL is printed;\n"
           "                      no authentication: bind it to a trusted address\n"
           "  --max-agents COUNT  agents counted one by one, by address without the port\n"
           "                      (default 1000); the ones after are counted together as\n"
           "                      agent 'other'\n"
           "  --tls-cert PATH     the collector's certificate (PEM, its chain may follow);\n"
           "                      with --tls-key, agents must connect with TLS 1.2 or later\n"
           "                      and a plaintext connection is closed with one line\n"
           "  --tls-key PATH      the private key of --tls-cert (PEM)\n"
           "  --tls-client-ca PATH\n"
           "                      accept only agents whose client certificate this CA (PEM)\n"
           "                      signed; the subject of each is logged when it connects\n"
           "  --tls-handshake-timeout SECONDS\n"
           "                      close a connection whose TLS handshake is not done by\n"
           "                      then (default 10)\n"
           "  --help              show this text\n"
           "\n"
           "JSON keys: peer, version, time, iso_time, client, server, tcp, size, id, qr,\n"
           "opcode, rcode, flags, qname, qtype, qclass, and error when the DNS packet does\n"
           "not parse. A malformed record closes only its connection, with one line on\n"
           "stderr. SIGINT or SIGTERM stops the collector after a summary on stderr (the\n"
           "totals, then one line per agent); the open ClickHouse batch is inserted\n"
           "first (or spooled while ClickHouse fails); a dnstap receiver gets up to 3 s\n"
           "for the frames that wait, the rest is counted as dropped.\n"
           "Delivery to ClickHouse is at least once: see the batch and row columns.\n"
           "Exit status: 0 after a stop, 1 when output cannot be written, 2 for a bad\n"
           "option, an address, a spool directory or TLS files that cannot be used.\n";
}

}  // namespace kr::collector
