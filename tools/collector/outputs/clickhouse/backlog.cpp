#include "outputs/clickhouse/backlog.h"

namespace kr::collector {

namespace {

// A spool that took no batch is offered the next one after this long (at
// once when memory is full).
constexpr std::int64_t kSpoolRetryMs = 1000;
// The line about a spool that takes nothing comes again this often while
// that lasts; the one about drops at most this often.
constexpr std::int64_t kRepeatSpoolLineMs = 30000;
constexpr std::int64_t kRepeatDropLineMs = 10000;

unsigned long long mib(std::uint64_t bytes) {
    return static_cast<unsigned long long>((bytes + (1 << 20) - 1) >> 20);
}

}  // namespace

bool Backlog::open_spool(const std::string& dir, std::uint64_t max_bytes, std::uint64_t layout,
                         std::uint64_t previous_layout, std::string& error) {
    spool_.also_accept(previous_layout);
    spool_on_ = spool_.open(dir, max_bytes, layout, error);
    return spool_on_;
}

void Backlog::push(Batch&& batch, std::int64_t now_ms) {
    memory_bytes_ += batch.data.size();
    memory_.push_back(std::move(batch));
    keep_bound(now_ms);
}

void Backlog::push_front(Batch&& batch, std::int64_t now_ms) {
    memory_bytes_ += batch.data.size();
    memory_.push_front(std::move(batch));
    keep_bound(now_ms);
}

void Backlog::spool_memory(std::int64_t now_ms, bool must) {
    while (spool_on_ && !memory_.empty() && write_front(now_ms, must)) {
    }
}

// Beyond the bound, memory's oldest batch goes to the spool (whose oldest
// make room for it) or, when the spool cannot take it, is dropped.
void Backlog::keep_bound(std::int64_t now_ms) {
    while (memory_bytes_ > memory_max_ && memory_.size() > 1) {
        if (!spool_on_ || !write_front(now_ms, true)) {
            drop_front(spool_on_ ? "memory and the spool are full" : "memory is full and there is no --spool", now_ms);
        }
    }
}

// Writes memory's oldest batch to the spool. Unless `must`, a full spool
// leaves it in memory; with `must` the spool's oldest batches make room
// for it, on a full disk too.
bool Backlog::write_front(std::int64_t now_ms, bool must) {
    const Batch& batch = memory_.front();
    if (!must && (now_ms < spool_retry_at_ms_ || !spool_.fits(batch.data.size()))) {
        if (now_ms >= spool_retry_at_ms_) {
            note_spool_refusal("spool " + spool_.dir() + " is full (--spool-max)", now_ms);
        }
        return false;
    }
    const std::uint64_t dropped_before = spool_.dropped_rows();
    std::string error;
    bool written = spool_.push(batch.sequence, batch.rows, batch.data, error);
    while (!written && must && spool_.out_of_space() && !spool_.empty()) {
        spool_.drop_oldest();
        written = spool_.push(batch.sequence, batch.rows, batch.data, error);
    }
    note_drop(spool_.dropped_rows() - dropped_before, "memory and the spool are full", now_ms);
    if (spool_.removed_quarantined() != removed_quarantined_said_) {
        std::fprintf(log_,
                     "collector: removed %llu quarantined spool files, oldest first, to stay within --spool-max\n",
                     static_cast<unsigned long long>(spool_.removed_quarantined() - removed_quarantined_said_));
        removed_quarantined_said_ = spool_.removed_quarantined();
    }
    if (!written) {
        spool_retry_at_ms_ = now_ms + kSpoolRetryMs;
        note_spool_refusal(error, now_ms);
        return false;
    }
    if (spool_refusing_ && !must) {  // room of its own, not made by dropping
        std::fprintf(log_, "collector: the spool takes batches again\n");
        spool_refusing_ = false;
    }
    ++batches_spooled_;
    memory_bytes_ -= batch.data.size();
    memory_.pop_front();
    return true;
}

void Backlog::note_spool_refusal(const std::string& why, std::int64_t now_ms) {
    if (spool_refusing_ && now_ms - spool_said_ms_ < kRepeatSpoolLineMs) {
        return;
    }
    spool_refusing_ = true;
    spool_said_ms_ = now_ms;
    std::fprintf(log_, "collector: %s; batches wait in memory (%zu held, %llu of %llu MiB)\n", why.c_str(),
                 memory_.size(), mib(memory_bytes_), mib(memory_max_));
}

bool Backlog::next(Batch& batch, bool& from_spool, std::string& error) {
    from_spool = !spool_.empty();
    if (from_spool) {
        return spool_.read_front(batch.sequence, batch.rows, batch.data, error);
    }
    if (memory_.empty()) {
        return false;
    }
    memory_bytes_ -= memory_.front().data.size();
    batch = std::move(memory_.front());
    memory_.pop_front();
    return true;
}

void Backlog::inserted(const Batch& batch, bool from_spool) {
    if (from_spool) {
        spool_.remove(batch.sequence);  // gone already only if the spool's bound dropped it meanwhile
    }
}

void Backlog::drop(const Batch& batch, const char* reason, std::int64_t now_ms) {
    ++dropped_batches_;
    dropped_rows_ += batch.rows;
    note_drop(batch.rows, reason, now_ms);
}

void Backlog::drop_front(const char* reason, std::int64_t now_ms) {
    drop(memory_.front(), reason, now_ms);
    memory_bytes_ -= memory_.front().data.size();
    memory_.pop_front();
}

void Backlog::drop_memory(const char* reason, std::int64_t now_ms) {
    std::uint64_t rows = 0;
    for (const Batch& batch : memory_) {
        rows += batch.rows;
    }
    dropped_batches_ += memory_.size();
    dropped_rows_ += rows;
    memory_.clear();
    memory_bytes_ = 0;
    note_drop(rows, reason, now_ms);
}

void Backlog::note_drop(std::uint64_t rows, const char* reason, std::int64_t now_ms) {
    unsaid_rows_ += rows;
    unsaid_reason_ = rows > 0 ? reason : unsaid_reason_;
    if (now_ms - drops_said_ms_ >= kRepeatDropLineMs) {
        say_drops(now_ms);
    }
}

void Backlog::say_drops(std::int64_t now_ms) {
    if (unsaid_rows_ == 0) {
        return;
    }
    std::fprintf(log_, "collector: ClickHouse events dropped, oldest first: %llu (%s)\n",
                 static_cast<unsigned long long>(unsaid_rows_), unsaid_reason_);
    unsaid_rows_ = 0;
    drops_said_ms_ = now_ms;
}

}  // namespace kr::collector
