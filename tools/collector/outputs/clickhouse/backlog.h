#pragma once
// Where closed batches wait for the database: in memory up to a bound and,
// with a spool, on disk. Each backs the other up: a batch the spool cannot
// take (full, or its disk is) stays in memory and is written later; beyond
// the memory bound the oldest batch goes to the spool, whose own oldest
// make room for it. Rows are dropped only when both are full, oldest first,
// counted, and said in a line (at most every 10 s, with the rows since the
// last). The spool holds the older batches, memory the newer ones, so
// inserts keep the order. Not thread-safe: its owner serialises the calls.
#include <cstdint>
#include <cstdio>
#include <deque>
#include <string>

#include "outputs/clickhouse/spool.h"

namespace kr::collector {

struct Batch {
    std::uint64_t sequence = 0;  // order of closing, also the spool file's
    std::uint64_t id = 0;        // in every row: the key for removing duplicates
    std::uint32_t rows = 0;
    std::int64_t opened_ms = 0;
    std::string data;
};

class Backlog {
public:
    // `log` gets the lines about drops and about a spool that takes nothing.
    Backlog(std::FILE* log, std::size_t memory_max) : log_(log), memory_max_(memory_max) {}

    // Takes the spool (Spool::open); without one batches wait in memory only.
    bool open_spool(const std::string& dir, std::uint64_t max_bytes, std::uint64_t layout,
                    std::uint64_t previous_layout, std::string& error);
    bool spool_on() const { return spool_on_; }
    const Spool& spool() const { return spool_; }
    Spool& spool() { return spool_; }
    bool empty() const { return memory_.empty() && spool_.empty(); }
    bool memory_empty() const { return memory_.empty(); }

    // A closed batch, the newest.
    void push(Batch&& batch, std::int64_t now_ms);
    // A batch taken from memory whose insert failed: back in front.
    void push_front(Batch&& batch, std::int64_t now_ms);
    // Writes what memory holds to the spool, oldest first, while it takes
    // them. With `must` (a stop) the spool's oldest batches make room.
    void spool_memory(std::int64_t now_ms, bool must);
    // The next batch to insert: the spool's oldest (it stays there until
    // inserted() or quarantined), else memory's oldest (taken out). False
    // when none, or when a spool file failed its check: `error` then says so.
    bool next(Batch& batch, bool& from_spool, std::string& error);
    void inserted(const Batch& batch, bool from_spool);
    // Drops `batch` (taken by next()) or all that memory holds, with `reason`.
    void drop(const Batch& batch, const char* reason, std::int64_t now_ms);
    void drop_memory(const char* reason, std::int64_t now_ms);
    // Says the drops not said yet (at the end of a stop).
    void say_drops(std::int64_t now_ms);

    std::uint64_t batches_spooled() const { return batches_spooled_; }
    std::uint64_t batches_dropped() const { return dropped_batches_ + spool_.dropped_batches(); }
    std::uint64_t rows_dropped() const { return dropped_rows_ + spool_.dropped_rows(); }

private:
    void keep_bound(std::int64_t now_ms);
    bool write_front(std::int64_t now_ms, bool must);
    void drop_front(const char* reason, std::int64_t now_ms);
    void note_drop(std::uint64_t rows, const char* reason, std::int64_t now_ms);
    void note_spool_refusal(const std::string& why, std::int64_t now_ms);

    std::FILE* log_;
    const std::size_t memory_max_;
    std::deque<Batch> memory_;
    std::size_t memory_bytes_ = 0;
    Spool spool_;
    bool spool_on_ = false;
    bool spool_refusing_ = false;  // the last batch offered to it stayed in memory
    std::int64_t spool_retry_at_ms_ = 0;
    std::int64_t spool_said_ms_ = 0;
    std::uint64_t removed_quarantined_said_ = 0;
    std::uint64_t batches_spooled_ = 0;
    std::uint64_t dropped_batches_ = 0;
    std::uint64_t dropped_rows_ = 0;
    std::uint64_t unsaid_rows_ = 0;  // dropped since the last line
    const char* unsaid_reason_ = "";
    std::int64_t drops_said_ms_ = 0;
};

}  // namespace kr::collector
