#include "outputs/clickhouse/clickhouse_rows.h"

#include <arpa/inet.h>
#include <xxhash.h>

#include <cstring>
#include <map>

namespace kr::collector {

namespace {

struct Column {
    const char* name;
    const char* type;
    // How the server fills a column the collector does not send; nullptr
    // for the columns in every inserted row, in row order.
    const char* fill;
    // The type the previous version created, of the same RowBinary bytes:
    // its tables and spool files are still taken. nullptr when unchanged.
    const char* was = nullptr;
};

// The names are filled by the server from `qname`: lower() and splitting
// on '.' never fail, so no row is refused for them, and a batch carries
// the name once. The reversed name ends in '.', so one prefix
// ('test.example.') selects a domain and every name under it.
const Column kColumns[] = {
    {"time", "DateTime", nullptr},
    {"peer", "LowCardinality(String)", nullptr},
    {"version", "LowCardinality(String)", nullptr},
    // A resolver has about as many clients as rows: LowCardinality would
    // only cost (inserts 3 times slower, point filters too).
    {"client", "String", nullptr, "LowCardinality(String)"},
    {"server", "LowCardinality(String)", nullptr},
    {"tcp", "UInt8", nullptr},
    {"size", "UInt32", nullptr},
    {"id", "UInt16", nullptr},
    {"qr", "UInt8", nullptr},
    {"opcode", "UInt8", nullptr},
    {"rcode", "UInt8", nullptr},
    {"flags", "UInt16", nullptr},
    {"qname", "String", nullptr},
    {"qtype", "UInt16", nullptr},
    {"qclass", "UInt16", nullptr},
    {"error", "LowCardinality(String)", nullptr},
    {"batch", "UInt64", nullptr},
    {"row", "UInt32", nullptr},
    {"client_ip", "FixedString(16)", nullptr},
    {"server_ip", "FixedString(16)", nullptr},
    {"qname_lower", "String", "lower(qname)"},
    {"qname_reversed", "String", "concat(arrayStringConcat(arrayReverse(splitByChar('.', lower(qname))), '.'), '.')"},
};

// Newer servers name the same 16 bytes IPv6; a table made with it takes the rows as they are.
bool same_type(const Column& column, const std::string& type) {
    return type == column.type || (column.was != nullptr && type == column.was) ||
           (std::strcmp(column.type, "FixedString(16)") == 0 && type == "IPv6");
}

void put_le(std::string& out, std::uint64_t value, int bytes) {
    char little[8];
    for (int i = 0; i < bytes; ++i) {
        little[i] = static_cast<char>(value & 0xFF);
        value >>= 8;
    }
    out.append(little, static_cast<std::size_t>(bytes));
}

void put_string(std::string& out, std::string_view text) {
    char prefix[10];
    std::size_t used = 0;
    std::uint64_t length = text.size();
    while (length >= 0x80) {
        prefix[used++] = static_cast<char>((length & 0x7F) | 0x80);
        length >>= 7;
    }
    prefix[used++] = static_cast<char>(length);
    out.append(prefix, used);
    out += text;
}

// 16 bytes in network order, IPv4 as ::ffff:a.b.c.d; all zeros (::) for a
// text that is no address, so such a row still goes in.
void put_address(std::string& out, std::string_view text) {
    char terminated[INET6_ADDRSTRLEN] = {};
    unsigned char bytes[16] = {};
    if (text.size() < sizeof terminated) {
        text.copy(terminated, text.size());
        if (inet_pton(AF_INET, terminated, bytes + 12) == 1) {
            bytes[10] = bytes[11] = 0xFF;
        } else if (inet_pton(AF_INET6, terminated, bytes) != 1) {
            std::memset(bytes, 0, sizeof bytes);
        }
    }
    out.append(reinterpret_cast<const char*>(bytes), sizeof bytes);
}

std::string quoted(const std::string& table) {
    const std::size_t dot = table.find('.');
    if (dot == std::string::npos) {
        return "`" + table + "`";
    }
    return "`" + table.substr(0, dot) + "`.`" + table.substr(dot + 1) + "`";
}

}  // namespace

// Partitions by day, so a day's questions read one partition and old days
// drop whole; sorted by the reversed name, then client, so questions about
// a name or a whole domain read a small range. The texts with few distinct
// values are LowCardinality; addresses are also kept as 16 bytes (IPv4
// mapped into IPv6), so that ranges compare in order.
namespace {

std::string create_sql(const std::string& table, bool previous) {
    std::string sql = "CREATE TABLE IF NOT EXISTS " + quoted(table) + " (";
    for (const Column& column : kColumns) {
        sql += std::string(&column == kColumns ? "" : ", ") + column.name + " " +
               (previous && column.was != nullptr ? column.was : column.type);
        if (column.fill != nullptr) {
            sql += std::string(" DEFAULT ") + column.fill;
        }
    }
    return sql + ") ENGINE = MergeTree PARTITION BY toDate(time) ORDER BY (qname_reversed, client_ip, time)";
}

std::uint64_t fingerprint(const std::string& text) {
    return XXH64(text.data(), text.size(), 0);
}

}  // namespace

std::string create_table_sql(const std::string& table) {
    return create_sql(table, false);
}

std::uint64_t row_layout() {
    return fingerprint(create_sql("t", false));
}

std::uint64_t previous_row_layout() {
    return fingerprint(create_sql("t", true));
}

std::string insert_sql(const std::string& table) {
    std::string columns;
    for (const Column& column : kColumns) {
        if (column.fill == nullptr) {
            columns += std::string(columns.empty() ? "" : ", ") + column.name;
        }
    }
    return "INSERT INTO " + quoted(table) + " (" + columns + ") FORMAT RowBinary";
}

namespace {

// "database = ... AND <name_column> = '...'": `table` in the system tables.
std::string system_filter(const std::string& table, const char* name_column) {
    const std::size_t dot = table.find('.');
    const std::string database = dot == std::string::npos ? "currentDatabase()" : "'" + table.substr(0, dot) + "'";
    return " WHERE database = " + database + " AND " + name_column + " = '" +
           table.substr(dot == std::string::npos ? 0 : dot + 1) + "' FORMAT TabSeparated";
}

}  // namespace

std::string table_columns_sql(const std::string& table) {
    return "SELECT name, type, default_kind FROM system.columns" + system_filter(table, "table");
}

std::string table_engine_sql(const std::string& table) {
    return "SELECT engine FROM system.tables" + system_filter(table, "name");
}

std::string table_shape_problem(const std::string& table, const std::string& columns) {
    std::map<std::string, std::pair<std::string, std::string>> found;  // name: type, default kind
    std::size_t at = 0;
    while (at < columns.size()) {
        std::size_t end = columns.find('\n', at);
        end = end == std::string::npos ? columns.size() : end;
        const std::string line = columns.substr(at, end - at);
        const std::size_t tab1 = line.find('\t');
        const std::size_t tab2 = line.find('\t', tab1 + 1);
        if (tab1 != std::string::npos) {
            found[line.substr(0, tab1)] = {line.substr(tab1 + 1, tab2 - tab1 - 1),
                                           tab2 == std::string::npos ? "" : line.substr(tab2 + 1)};
        }
        at = end + 1;
    }
    if (found.empty()) {
        return "";  // no such table: CREATE makes it
    }
    std::string missing;
    std::string differing;
    for (const Column& column : kColumns) {
        const auto it = found.find(column.name);
        if (it == found.end()) {
            missing += std::string(missing.empty() ? "" : ", ") + column.name;
        } else if (!same_type(column, it->second.first) || (column.fill != nullptr && it->second.second.empty())) {
            differing += std::string(differing.empty() ? "" : ", ") + column.name + " is " + it->second.first +
                         (column.fill != nullptr && it->second.second.empty() ? " without a default" : "") +
                         " (expected " + column.type + (column.fill != nullptr ? " DEFAULT ...)" : ")");
        }
    }
    if (missing.empty() && differing.empty()) {
        return "";
    }
    return "table " + table + " has another shape than this collector writes (" +
           (missing.empty() ? "" : "missing columns " + missing + (differing.empty() ? "" : "; ")) + differing +
           "); nothing is inserted into it: rename it, or give --clickhouse-table a new one";
}

void append_row(std::string& out, std::string_view peer, std::string_view version, const EventMessage& event,
                const DnsSummary& dns, std::uint64_t batch, std::uint32_t row) {
    put_le(out, event.time, 4);
    put_string(out, peer);
    put_string(out, version);
    put_string(out, event.client);
    put_string(out, event.server);
    put_le(out, event.tcp() ? 1 : 0, 1);
    put_le(out, event.packet.size, 4);
    // Fields the packet did not have are 0 / empty; `error` says why.
    put_le(out, dns.has_header ? dns.id : 0, 2);
    put_le(out, dns.has_header && dns.qr() ? 1 : 0, 1);
    put_le(out, dns.has_header ? dns.opcode() : 0, 1);
    put_le(out, dns.has_header ? dns.rcode() : 0, 1);
    put_le(out, dns.has_header ? dns.flags : 0, 2);
    put_string(out, dns.has_question ? std::string_view(dns.qname) : std::string_view());
    put_le(out, dns.has_question ? dns.qtype : 0, 2);
    put_le(out, dns.has_question ? dns.qclass : 0, 2);
    put_string(out, dns.error);
    put_le(out, batch, 8);
    put_le(out, row, 4);
    put_address(out, event.client);
    put_address(out, event.server);
}

}  // namespace kr::collector
