#include "clickhouse/clickhouse_sink.h"

#include <algorithm>
#include <chrono>
#include <random>

#include "clickhouse/clickhouse_rows.h"

namespace kr::collector {

namespace {

// Bytes of closed batches held in memory while inserts are under way
// (about 2.5 million events); beyond this the oldest goes to the spool
// (or, without one, is dropped), so a slow database costs memory only up
// to a bound.
constexpr std::size_t kMaxReadyBytes = 256 * 1024 * 1024;
constexpr std::int64_t kFirstBackoffMs = 100;
constexpr std::int64_t kMaxBackoffMs = 2000;

std::int64_t now_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

std::string with_parameter(const std::string& url, const std::string& parameter) {
    return url + (url.find('?') == std::string::npos ? "?" : "&") + parameter;
}

}  // namespace

ClickHouseSink::ClickHouseSink(ClickHouseOptions options, std::FILE* log)
    : options_(std::move(options)), log_(log) {
    // 18.16 creates LowCardinality columns only with this setting.
    create_url_ = with_parameter(options_.url, "allow_experimental_low_cardinality_type=1");
    insert_url_ = with_parameter(options_.url, "query=" + HttpPost::escape(insert_sql(options_.table)));
    create_sql_ = create_table_sql(options_.table);
    // Batch ids differ between runs and collectors, so (batch, row) names
    // one event wherever it was sent from.
    std::random_device random;
    batch_ids_ = (std::uint64_t{random()} << 32) ^ random();
}

ClickHouseSink::~ClickHouseSink() {
    stop();
}

bool ClickHouseSink::start(std::string& error) {
    if (!options_.spool_dir.empty()) {
        if (!spool_.open(options_.spool_dir, options_.spool_max, error)) {
            return false;
        }
        spool_on_ = true;
        next_sequence_ = spool_.next_sequence();
        if (!spool_.empty()) {
            std::fprintf(log_, "collector: spool %s holds %zu batches (%llu rows) from an earlier run; replaying\n",
                         options_.spool_dir.c_str(), spool_.batches(),
                         static_cast<unsigned long long>(spool_.rows()));
        }
    }
    std::string problem;
    if (http_.post(create_url_, create_sql_, problem)) {
        need_create_ = false;
    } else {
        failing_ = true;
        std::fprintf(log_, "collector: ClickHouse at %s is not ready: %s; events are held and retried\n",
                     options_.url.c_str(), problem.c_str());
    }
    thread_ = std::thread([this] { run(); });
    return true;
}

void ClickHouseSink::add(std::string_view peer, std::string_view version, const EventMessage& event,
                         const DnsSummary& dns) {
    std::lock_guard<std::mutex> lock(mutex_);
    const bool first = open_.rows == 0;
    if (first) {
        open_.opened_ms = now_ms();
        open_.id = ++batch_ids_;
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
    }
    wake_.notify_one();
    if (thread_.joinable()) {
        thread_.join();
    }
}

ClickHouseSink::Counters ClickHouseSink::counters() const {
    std::lock_guard<std::mutex> lock(mutex_);
    Counters result = counters_;
    result.batches_dropped += spool_.dropped_batches();
    result.rows_dropped += spool_.dropped_rows();
    result.spool_batches = spool_.batches();
    return result;
}

// The calls below run with mutex_ held.

void ClickHouseSink::close_open_batch() {
    open_.sequence = next_sequence_++;
    ready_bytes_ += open_.data.size();
    ready_.push_back(std::move(open_));
    open_ = Batch{};
    while (ready_bytes_ > kMaxReadyBytes && ready_.size() > 1) {
        if (spool_on_) {
            spool_batch(ready_.front());
        } else {
            drop(ready_.front());
        }
        pop_ready();
    }
}

void ClickHouseSink::pop_ready() {
    ready_bytes_ -= ready_.front().data.size();
    ready_.pop_front();
}

void ClickHouseSink::spool_batch(const Batch& batch) {
    std::string error;
    if (spool_.push(batch.sequence, batch.rows, batch.data, error)) {
        ++counters_.batches_spooled;
    } else {
        std::fprintf(log_, "collector: %s; %u events lost\n", error.c_str(), batch.rows);
        drop(batch);
    }
}

void ClickHouseSink::drop(const Batch& batch) {
    ++counters_.batches_dropped;
    counters_.rows_dropped += batch.rows;
}

void ClickHouseSink::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        const std::int64_t now = now_ms();
        if (open_.rows > 0 && (stopping_ || now - open_.opened_ms >= options_.batch_ms)) {
            close_open_batch();
        }
        const bool backing_off = now < retry_at_ms_;
        // While the database fails, and when stopping with a backlog, the
        // spool keeps what memory holds: safe from a crash, replayed in order.
        if (spool_on_ && (backing_off || (stopping_ && (failing_ || !spool_.empty())))) {
            while (!ready_.empty()) {
                spool_batch(ready_.front());
                pop_ready();
            }
            if (stopping_) {
                break;
            }
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
        if (spool_on_ && !spool_.empty()) {
            std::string error;
            if (!spool_.read_front(batch.sequence, batch.rows, batch.data, error)) {
                std::fprintf(log_, "collector: %s\n", error.c_str());
                continue;
            }
            from_spool = true;
        } else if (!ready_.empty()) {
            ready_bytes_ -= ready_.front().data.size();
            batch = std::move(ready_.front());
            ready_.pop_front();
        } else if (stopping_) {
            break;
        } else {
            if (open_.rows > 0) {
                wake_.wait_for(lock, std::chrono::milliseconds(
                                         std::max<std::int64_t>(open_.opened_ms + options_.batch_ms - now, 1)));
            } else {
                wake_.wait(lock);
            }
            continue;
        }

        lock.unlock();
        std::string error;
        const bool inserted = insert(batch, error);
        lock.lock();
        if (inserted) {
            ++counters_.batches_inserted;
            counters_.rows_inserted += batch.rows;
            if (from_spool) {
                // Gone already only if the spool's bound dropped it meanwhile.
                spool_.remove(batch.sequence);
                ++counters_.batches_replayed;
            }
            if (failing_) {
                std::fprintf(log_, "collector: ClickHouse accepts inserts again\n");
                failing_ = false;
            }
            backoff_ms_ = 0;
            retry_at_ms_ = 0;
            continue;
        }
        if (!failing_) {
            std::fprintf(log_, "collector: ClickHouse insert failed: %s; retrying with backoff%s\n", error.c_str(),
                         spool_on_ ? ", batches go to the spool" : "");
            failing_ = true;
        }
        need_create_ = true;  // the table may be what is missing
        backoff_ms_ = backoff_ms_ == 0 ? kFirstBackoffMs : std::min(backoff_ms_ * 2, kMaxBackoffMs);
        retry_at_ms_ = now_ms() + backoff_ms_;
        if (from_spool) {
            continue;  // still first in the spool
        }
        if (spool_on_) {
            spool_batch(batch);
        } else if (stopping_) {
            drop(batch);
        } else {
            ready_bytes_ += batch.data.size();
            ready_.push_front(std::move(batch));
            while (ready_bytes_ > kMaxReadyBytes && ready_.size() > 1) {
                drop(ready_.front());
                pop_ready();
            }
        }
    }
}

bool ClickHouseSink::insert(const Batch& batch, std::string& error) {
    if (need_create_) {
        if (!http_.post(create_url_, create_sql_, error)) {
            return false;
        }
        need_create_ = false;
    }
    return http_.post(insert_url_, batch.data, error);
}

}  // namespace kr::collector
