#include "outputs/clickhouse/clickhouse_sink.h"

#include <cstdlib>

#include "outputs/clickhouse/clickhouse_rows.h"

namespace kr::collector {

// Asks the server's version once; an 18.x server creates LowCardinality
// columns only with a setting that later versions no longer need.
bool ClickHouseSink::learn_version(std::string& error) {
    if (!server_version_.empty()) {
        return true;
    }
    if (!http_.post(options_.url, "SELECT version()", error)) {
        return false;
    }
    server_version_ = http_.reply().substr(0, http_.reply().find('\n'));
    if (std::atoi(server_version_.c_str()) < 19) {
        create_url_ = with_parameter(options_.url, "allow_experimental_low_cardinality_type=1");
    }
    std::fprintf(log_, "collector: ClickHouse %s at %s\n", server_version_.c_str(),
                 redacted_url(options_.url).c_str());
    return true;
}

// Creates the table if it is missing and checks the shape of the one in
// place: a table of another shape would take rows into the wrong columns
// (or refuse every batch), so it gets none. A user that may insert but not
// create still inserts into a table that is there: only a create that failed
// for want of an answer stops here.
bool ClickHouseSink::prepare_table(std::string& error) {
    if (!http_.post(create_url_, create_sql_, error) && last_failure() == InsertFailure::transient) {
        return false;
    }
    if (!http_.post(options_.url, table_columns_sql(options_.table), error)) {
        return false;
    }
    error = table_shape_problem(options_.table, http_.reply());
    wrong_table_ = !error.empty();
    std::string ignored;  // the engine only warns; a failed look is tried again
    if (!wrong_table_ && !engine_checked_ && http_.post(options_.url, table_engine_sql(options_.table), ignored)) {
        engine_checked_ = true;
        // Without it a Distributed table acknowledges rows it has only queued
        // for a shard that is down: the collector would never spool them.
        if (http_.reply().rfind("Distributed", 0) == 0 &&
            options_.url.find("insert_distributed_sync=1") == std::string::npos) {
            std::fprintf(log_,
                         "collector: %s is a Distributed table and the URL does not set insert_distributed_sync=1:"
                         " rows for a shard that is down are acknowledged before they reach it and wait on one"
                         " server's disk; add &insert_distributed_sync=1 (docs/scale-out.md)\n",
                         options_.table.c_str());
        }
    }
    return !wrong_table_;
}

}  // namespace kr::collector
