#pragma once
// Events into a ClickHouse table over HTTP, in batches, without ever making
// the server loop wait for the database: the loop appends rows to an open
// batch; an insert thread closes it at a row count or an age and inserts
// it. While the database is down, slow or refusing, batches are retried
// with backoff and, with a spool directory, kept on disk and replayed in
// order (also by the next run). Delivery is at least once: a batch whose
// insert reached the database but whose answer did not is sent again.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "model/dns.h"
#include "model/message.h"
#include "options/options.h"
#include "outputs/clickhouse/clickhouse_errors.h"
#include "outputs/clickhouse/http_post.h"
#include "outputs/clickhouse/backlog.h"

namespace kr::collector {

class ClickHouseSink {
public:
    struct Counters {
        std::uint64_t rows_inserted = 0;
        std::uint64_t batches_inserted = 0;
        std::uint64_t batches_spooled = 0;   // written to the spool
        std::uint64_t batches_replayed = 0;  // inserted from the spool
        std::uint64_t batches_dropped = 0;   // lost: memory or spool full, or unwritable
        std::uint64_t rows_dropped = 0;
        std::uint64_t spool_batches = 0;     // in the spool now
        std::uint64_t spool_bytes = 0;       // their bytes
        std::uint64_t batches_quarantined = 0;  // spool files that failed their check or were malformed
        std::uint64_t failing = 0;              // 1 while inserts fail
        std::uint64_t configuration_error = 0;  // 1 while they fail for a reason the configuration must fix
        std::uint64_t last_error_code = 0;      // ClickHouse's code of the last failed insert (0: none given)
    };

    // `log` receives state changes (database failing / back) and problems.
    ClickHouseSink(ClickHouseOptions options, std::FILE* log);
    ~ClickHouseSink();
    ClickHouseSink(const ClickHouseSink&) = delete;
    ClickHouseSink& operator=(const ClickHouseSink&) = delete;

    // Opens the spool and starts the insert thread, which first asks the
    // server's version and creates the table if it is missing (a database
    // that cannot be reached yet is only noted): nothing here waits for the
    // database. A table of another shape found then is said in a line and
    // `refused` is called (the collector ends). False with the reason when
    // the spool cannot be used.
    bool start(std::string& error, std::function<void()> refused);
    // True once the first check found a table of another shape.
    bool refused() const { return refused_; }
    // From the server loop: one event into the open batch.
    void add(std::string_view peer, std::string_view version, const EventMessage& event, const DnsSummary& dns);
    // Closes the open batch, inserts what is held (or, when the database is
    // failing or a backlog waits, spools it) and ends the thread. After 10 s
    // the rest is spooled, or dropped without a spool, and a transfer still
    // under way is cut: the stop takes about that at most.
    void stop();

    Counters counters() const;

private:
    void run();
    void check_server();
    void close_open_batch();
    bool insert(const Batch& batch, std::string& error);
    // `kind`, `code` and `hint` of the failed insert's answer.
    void note_failure(const std::string& error, InsertFailure kind, int code, std::string hint);
    // How the last request failed, from http_'s answer.
    InsertFailure last_failure() const {
        return classify_failure(http_.status(), http_.exception_code(), http_.transfer_code());
    }
    // The version question and the table's preparation (clickhouse_table.cpp).
    bool learn_version(std::string& error);
    bool prepare_table(std::string& error);

    const ClickHouseOptions options_;
    std::FILE* log_;
    std::string create_url_;
    std::string insert_url_;
    std::string create_sql_;
    HttpPost http_;  // insert thread only, after start()
    bool need_create_ = true;
    std::string server_version_;  // from SELECT version(), asked once
    bool wrong_table_ = false;  // the last check found a table of another shape
    bool engine_checked_ = false;
    std::function<void()> on_refused_;
    std::atomic<bool> refused_{false};
    std::atomic<std::int64_t> abort_at_ms_{0};  // ends a transfer still under way when a stop runs out

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    Batch open_;
    std::string spare_;           // an inserted batch's buffer, for the next one
    std::size_t row_bytes_ = 128;  // the most bytes per row a closed batch had
    Backlog backlog_;
    bool stopping_ = false;
    bool failing_ = false;
    InsertFailure failure_ = InsertFailure::transient;
    int failure_code_ = 0;
    std::int64_t failure_logged_ms_ = 0;
    std::int64_t failing_since_ms_ = 0;
    int malformed_in_a_row_ = 0;
    bool table_takes_rows_ = false;  // an insert of this run succeeded, and none of ours was malformed since
    std::int64_t backoff_ms_ = 0;
    std::int64_t retry_at_ms_ = 0;
    std::int64_t stop_by_ms_ = 0;
    std::uint64_t next_sequence_ = 0;
    std::uint64_t batch_ids_ = 0;
    Counters counters_;
    std::thread thread_;
};

}  // namespace kr::collector
