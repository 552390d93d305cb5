#pragma once
// The events table in ClickHouse: its schema and the RowBinary encoding of
// one row. RowBinary carries every text byte for byte (no escaping) and
// costs the least to produce here and to parse on the server.
#include <cstdint>
#include <string>
#include <string_view>

#include "input/dns.h"
#include "input/message.h"

namespace kr::collector {

// The columns in insert order, comma separated.
extern const char* const kClickHouseColumns;

// "CREATE TABLE IF NOT EXISTS <table> (...)" for `table` ("name" or
// "database.name", already checked by valid_table_name).
std::string create_table_sql(const std::string& table);
// "INSERT INTO <table> (<columns>) FORMAT RowBinary".
std::string insert_sql(const std::string& table);

// Letters, digits and '_' (not starting with a digit), optionally as
// "database.table".
bool valid_table_name(const std::string& name);

// Appends one row. `batch` and `row` identify it for removing duplicates
// after a retried insert.
void append_row(std::string& out, std::string_view peer, std::string_view version, const EventMessage& event,
                const DnsSummary& dns, std::uint64_t batch, std::uint32_t row);

}  // namespace kr::collector
