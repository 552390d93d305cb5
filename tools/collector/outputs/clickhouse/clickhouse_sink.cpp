#include "outputs/clickhouse/clickhouse_sink.h"

#include <algorithm>
#include <chrono>
#include <random>

#include "outputs/clickhouse/clickhouse_rows.h"

namespace kr::collector {

namespace {

// Bytes of closed batches held in memory while inserts are under way
// (about 2.5 million events); beyond this the oldest goes to the spool
// (or, without one or with a full one, is dropped), so a slow database
// costs memory only up to a bound.
constexpr std::size_t kMaxReadyBytes = 256 * 1024 * 1024;
// At most this much is set aside for a new batch at once; a batch that
// grows beyond it grows as it goes.
constexpr std::size_t kMaxReserveBytes = 64 * 1024 * 1024;
constexpr std::int64_t kFirstBackoffMs = 100;
constexpr std::int64_t kMaxBackoffMs = 2000;
// A configuration error lasts until someone acts: retry it less often.
constexpr std::int64_t kMaxConfigurationBackoffMs = 10000;
// While inserts fail, the line that says why comes again this often.
constexpr std::int64_t kRepeatFailureMs = 30000;
// Spool batches refused as malformed in a row before the table, not the
// files, is taken to be what is wrong (they then stay in the spool).
constexpr int kMalformedBeforeSuspectingTheTable = 2;
// How long a stop goes on inserting what memory holds before the rest goes
// to the spool (or, without one, is dropped and counted).
constexpr std::int64_t kStopFlushMs = 10000;

std::int64_t now_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

ClickHouseSink::ClickHouseSink(ClickHouseOptions options, std::FILE* log)
    : options_(std::move(options)), log_(log), backlog_(log, kMaxReadyBytes) {
    create_url_ = options_.url;  // learn_version() adds what an old server needs
    insert_url_ = with_parameter(options_.url, "query=" + HttpPost::escape(insert_sql(options_.table)));
    create_sql_ = create_table_sql(options_.table);
    // Batch ids differ between runs and collectors, so (batch, row) names
    // one event wherever it was sent from.
    std::random_device random;
    batch_ids_ = (std::uint64_t{random()} << 32) ^ random();
    http_.set_credentials(options_.user, options_.password);
    http_.set_ca_file(options_.ca_file);
    http_.set_abort_time(&abort_at_ms_);
}

ClickHouseSink::~ClickHouseSink() {
    stop();
}

bool ClickHouseSink::start(std::string& error, std::function<void()> refused) {
    if (!options_.spool_dir.empty()) {
        // Spooled rows are only replayed into the table shape they were encoded for.
        if (!backlog_.open_spool(options_.spool_dir, options_.spool_max, row_layout(), previous_row_layout(), error)) {
            return false;
        }
        const Spool& spool = backlog_.spool();
        next_sequence_ = spool.next_sequence();
        if (!spool.empty()) {
            std::fprintf(log_, "collector: spool %s holds %zu batches (%llu rows) from an earlier run; replaying\n",
                         options_.spool_dir.c_str(), spool.batches(), static_cast<unsigned long long>(spool.rows()));
        }
    }
    on_refused_ = std::move(refused);
    thread_ = std::thread([this] { run(); });
    return true;
}

// On the insert thread, before anything else: the server's version and the
// table. A server that does not answer holds up only this thread.
void ClickHouseSink::check_server() {
    std::string problem;
    const bool ready = learn_version(problem) && prepare_table(problem);
    std::lock_guard<std::mutex> lock(mutex_);
    if (ready) {
        need_create_ = false;
        return;
    }
    failing_ = true;
    failure_ = wrong_table_ ? InsertFailure::configuration : last_failure();
    failure_code_ = http_.exception_code();
    failure_logged_ms_ = failing_since_ms_ = now_ms();
    if (wrong_table_) {
        std::fprintf(log_, "collector: %s\n", problem.c_str());
        refused_ = true;
        if (on_refused_) {
            on_refused_();
        }
        return;
    }
    const std::string hint = configuration_hint(http_.status(), failure_code_, http_.transfer_code());
    std::fprintf(log_, "collector: ClickHouse at %s is not ready: %s; %sevents are held and retried\n",
                 redacted_url(options_.url).c_str(), problem.c_str(),
                 hint.empty() ? "" : ("fix the configuration: " + hint + "; ").c_str());
}

void ClickHouseSink::add(std::string_view peer, std::string_view version, const EventMessage& event,
                         const DnsSummary& dns) {
    std::lock_guard<std::mutex> lock(mutex_);
    const bool first = open_.rows == 0;
    if (first) {
        open_.opened_ms = now_ms();
        open_.id = ++batch_ids_;
        // A body that grew row by row was copied over and over into fresh
        // pages: half of the collector's time per row. The buffer of an
        // inserted batch, or one of the size batches have, is filled instead.
        open_.data.swap(spare_);
        open_.data.clear();
        open_.data.reserve(std::min<std::size_t>(std::size_t{options_.batch_rows} * row_bytes_, kMaxReserveBytes));
    }
    append_row(open_.data, peer, version, event, dns, open_.id, open_.rows++);
    if (open_.rows >= options_.batch_rows) {
        close_open_batch();
        wake_.notify_one();
    } else if (first) {
        wake_.notify_one();  // starts the age clock of the insert thread
    }
}

void ClickHouseSink::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        stop_by_ms_ = now_ms() + kStopFlushMs;
        abort_at_ms_ = stop_by_ms_;
    }
    wake_.notify_one();
    if (thread_.joinable()) {
        thread_.join();
    }
}

ClickHouseSink::Counters ClickHouseSink::counters() const {
    std::lock_guard<std::mutex> lock(mutex_);
    Counters result = counters_;
    result.batches_spooled = backlog_.batches_spooled();
    result.batches_dropped = backlog_.batches_dropped();
    result.rows_dropped = backlog_.rows_dropped();
    result.spool_batches = backlog_.spool().batches();
    result.spool_bytes = backlog_.spool().bytes();
    result.batches_quarantined = backlog_.spool().quarantined_batches();
    result.failing = failing_ ? 1 : 0;
    result.configuration_error = failing_ && failure_ != InsertFailure::transient ? 1 : 0;
    result.last_error_code = static_cast<std::uint64_t>(failure_code_);
    return result;
}

// The calls below run with mutex_ held.

void ClickHouseSink::close_open_batch() {
    open_.sequence = next_sequence_++;
    row_bytes_ = std::max(row_bytes_, open_.data.size() / open_.rows + 1);
    if (open_.data.capacity() > 2 * open_.data.size() + (1 << 20)) {
        open_.data.shrink_to_fit();  // closed by age: what waits holds only its rows
    }
    backlog_.push(std::move(open_), now_ms());
    open_ = Batch{};
}

void ClickHouseSink::run() {
    check_server();
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        const std::int64_t now = now_ms();
        if (open_.rows > 0 && (stopping_ || now - open_.opened_ms >= options_.batch_ms)) {
            close_open_batch();
        }
        const bool backing_off = now < retry_at_ms_;
        // While the database fails, and when stopping with a backlog, the
        // spool keeps what memory holds: safe from a crash, replayed in order.
        // What it cannot take waits in memory (at a stop: is tried until the end).
        if (backlog_.spool_on() && (backing_off || (stopping_ && (failing_ || !backlog_.spool().empty())))) {
            backlog_.spool_memory(now, stopping_);
            if (stopping_ && backlog_.memory_empty()) {
                break;
            }
        }
        // A slow database does not hold a stop for longer than this: what is
        // left goes where a failing database's batches go.
        if (stopping_ && now >= stop_by_ms_) {
            backlog_.spool_memory(now, true);
            backlog_.drop_memory(backlog_.spool_on() ? "the spool took nothing more at the stop"
                                                     : "a stop's 10 s ran out and there is no --spool",
                                 now);
            break;
        }
        if (backing_off && !stopping_) {
            std::int64_t until = retry_at_ms_;
            if (open_.rows > 0) {
                until = std::min(until, open_.opened_ms + options_.batch_ms);
            }
            wake_.wait_for(lock, std::chrono::milliseconds(std::max<std::int64_t>(until - now, 1)));
            continue;
        }
        Batch batch;
        bool from_spool = false;
        std::string error;
        if (!backlog_.next(batch, from_spool, error)) {
            if (!error.empty()) {
                std::fprintf(log_, "collector: %s\n", error.c_str());  // a spool file set aside
                continue;
            }
            if (stopping_) {
                break;
            }
            if (open_.rows > 0) {
                wake_.wait_for(lock, std::chrono::milliseconds(
                                         std::max<std::int64_t>(open_.opened_ms + options_.batch_ms - now, 1)));
            } else {
                wake_.wait(lock);
            }
            continue;
        }

        lock.unlock();
        const bool inserted = insert(batch, error);
        const InsertFailure kind = last_failure();
        const int code = http_.exception_code();
        const std::string hint = configuration_hint(http_.status(), code, http_.transfer_code());
        // Before a checked file is set aside as malformed the table is looked
        // at again: a column changed meanwhile is the table's fault, not the file's.
        bool table_checked = false;
        if (!inserted && kind == InsertFailure::malformed && from_spool && table_takes_rows_) {
            std::string shape;
            table_checked = prepare_table(shape);
            error = wrong_table_ ? shape : error;
        }
        lock.lock();
        if (inserted) {
            ++counters_.batches_inserted;
            counters_.rows_inserted += batch.rows;
            backlog_.inserted(batch, from_spool);
            counters_.batches_replayed += from_spool ? 1 : 0;
            if (batch.data.capacity() > spare_.capacity()) {
                spare_ = std::move(batch.data);
            }
            if (failing_) {
                std::fprintf(log_, "collector: ClickHouse accepts inserts again\n");
                failing_ = false;
            }
            malformed_in_a_row_ = 0;
            table_takes_rows_ = true;
            backoff_ms_ = 0;
            retry_at_ms_ = 0;
            continue;
        }
        // A checked file that does not parse is set aside only when the table
        // has taken rows of this collector: else the table is the suspect.
        const bool malformed = kind == InsertFailure::malformed;
        if (malformed && !from_spool) {
            table_takes_rows_ = false;
        }
        if (malformed && table_checked && ++malformed_in_a_row_ <= kMalformedBeforeSuspectingTheTable) {
            std::string note;
            backlog_.spool().quarantine(batch.sequence, "was refused by ClickHouse as malformed (" + error + ")", note);
            std::fprintf(log_, "collector: %s\n", note.c_str());
            continue;
        }
        note_failure(error, kind, code, hint);
        need_create_ = true;  // the table may be what is missing
        backoff_ms_ = backoff_ms_ == 0 ? kFirstBackoffMs
                                       : std::min(backoff_ms_ * 2, failure_ == InsertFailure::transient
                                                                       ? kMaxBackoffMs
                                                                       : kMaxConfigurationBackoffMs);
        retry_at_ms_ = now_ms() + backoff_ms_;
        if (from_spool) {
            continue;  // still first in the spool
        }
        if (stopping_ && !backlog_.spool_on()) {
            backlog_.drop(batch, "ClickHouse failed during the stop and there is no --spool", now_ms());
        } else {
            backlog_.push_front(std::move(batch), now_ms());  // with a spool, spooled in the next round
        }
    }
    backlog_.say_drops(now_ms());
}

// With mutex_ held. Says why inserts fail when that starts or changes, and
// again every kRepeatFailureMs while it lasts; rows are kept either way.
void ClickHouseSink::note_failure(const std::string& error, InsertFailure kind, int code, std::string hint) {
    if (kind == InsertFailure::malformed || wrong_table_) {
        kind = InsertFailure::configuration;  // our own rows refused: the table is not what we write
    }
    const std::int64_t now = now_ms();
    const bool changed = !failing_ || kind != failure_ || code != failure_code_;
    if (!failing_) {
        failing_since_ms_ = now;
    }
    failing_ = true;
    failure_ = kind;
    failure_code_ = code;
    if (!changed && now - failure_logged_ms_ < kRepeatFailureMs) {
        return;
    }
    failure_logged_ms_ = now;
    const std::int64_t seconds = (now - failing_since_ms_) / 1000;
    const std::string since = seconds > 0 ? " (failing for " + std::to_string(seconds) + " s)" : "";
    const char* held = backlog_.spool_on() ? "rows wait in the spool" : "rows wait in memory";
    if (kind == InsertFailure::configuration) {
        if (hint.empty()) {
            hint = "the table does not take the collector's rows: is it of another shape?";
        }
        std::fprintf(log_, "collector: ClickHouse refuses inserts: %s%s; fix the configuration: %s; %s\n",
                     error.c_str(), since.c_str(), hint.c_str(), held);
    } else {
        std::fprintf(log_, "collector: ClickHouse insert failed: %s%s; retrying with backoff%s\n", error.c_str(),
                     since.c_str(), backlog_.spool_on() ? ", batches go to the spool" : "");
    }
}

bool ClickHouseSink::insert(const Batch& batch, std::string& error) {
    if (!learn_version(error)) {
        return false;
    }
    if (need_create_) {
        if (!prepare_table(error)) {
            return false;
        }
        need_create_ = false;
    }
    return http_.post(insert_url_, batch.data, error);
}

}  // namespace kr::collector
