#pragma once
// The events table in ClickHouse: its schema and the RowBinary encoding of
// one row. RowBinary carries every text byte for byte (no escaping) and
// costs the least to produce here and to parse on the server.
#include <cstdint>
#include <string>
#include <string_view>

#include "model/dns.h"
#include "model/message.h"

namespace kr::collector {

// "CREATE TABLE IF NOT EXISTS <table> (...)" for `table` ("name" or
// "database.name", already checked by valid_table_name in options/).
std::string create_table_sql(const std::string& table);
// Fingerprints of the row encoding, for the spool's files: this version's
// (XXH64 of create_table_sql("t")), and the previous version's, whose rows
// are the same bytes (its `client` was LowCardinality(String)).
std::uint64_t row_layout();
std::uint64_t previous_row_layout();
// "INSERT INTO <table> (<columns>) FORMAT RowBinary".
std::string insert_sql(const std::string& table);

// The query for a table's columns, and what table_shape_problem() reads
// from its answer: "" when the table is missing or has every column this
// collector writes (more columns are fine), otherwise one line naming the
// table and the columns that are missing or of another type.
std::string table_columns_sql(const std::string& table);
std::string table_shape_problem(const std::string& table, const std::string& columns);
// The query for a table's engine ("MergeTree", "Distributed", ...).
std::string table_engine_sql(const std::string& table);

// Appends one row. `batch` and `row` identify it for removing duplicates
// after a retried insert.
void append_row(std::string& out, std::string_view peer, std::string_view version, const EventMessage& event,
                const DnsSummary& dns, std::uint64_t batch, std::uint32_t row);

}  // namespace kr::collector
