#include "clickhouse/clickhouse_rows.h"

namespace kr::collector {

const char* const kClickHouseColumns =
    "time, peer, version, client, server, tcp, size, id, qr, opcode, rcode, flags, qname, qtype, qclass, error, "
    "batch, row";

namespace {

void put_le(std::string& out, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        out += static_cast<char>(value & 0xFF);
        value >>= 8;
    }
}

void put_string(std::string& out, std::string_view text) {
    std::uint64_t length = text.size();
    while (length >= 0x80) {
        out += static_cast<char>((length & 0x7F) | 0x80);
        length >>= 7;
    }
    out += static_cast<char>(length);
    out += text;
}

std::string quoted(const std::string& table) {
    const std::size_t dot = table.find('.');
    if (dot == std::string::npos) {
        return "`" + table + "`";
    }
    return "`" + table.substr(0, dot) + "`.`" + table.substr(dot + 1) + "`";
}

bool valid_identifier(const std::string& text) {
    if (text.empty() || (text[0] >= '0' && text[0] <= '9')) {
        return false;
    }
    for (char c : text) {
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_')) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool valid_table_name(const std::string& name) {
    const std::size_t dot = name.find('.');
    if (dot == std::string::npos) {
        return valid_identifier(name);
    }
    return valid_identifier(name.substr(0, dot)) && valid_identifier(name.substr(dot + 1));
}

// Partitions by day, so a day's questions read one partition and old days
// drop whole; sorted by name then client, so per-name questions read a
// small range. The texts with few distinct values are LowCardinality.
std::string create_table_sql(const std::string& table) {
    return "CREATE TABLE IF NOT EXISTS " + quoted(table) +
           " (time DateTime, peer LowCardinality(String), version LowCardinality(String),"
           " client LowCardinality(String), server LowCardinality(String), tcp UInt8, size UInt32,"
           " id UInt16, qr UInt8, opcode UInt8, rcode UInt8, flags UInt16, qname String, qtype UInt16,"
           " qclass UInt16, error LowCardinality(String), batch UInt64, row UInt32)"
           " ENGINE = MergeTree PARTITION BY toDate(time) ORDER BY (qname, client, time)";
}

std::string insert_sql(const std::string& table) {
    return "INSERT INTO " + quoted(table) + " (" + kClickHouseColumns + ") FORMAT RowBinary";
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
}

}  // namespace kr::collector
