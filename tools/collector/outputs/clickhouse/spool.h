#pragma once
// Batches waiting on disk for the database: one file per batch, named by
// its sequence number so the oldest replays first, also after a restart.
// Bounded in bytes: making room drops the oldest batches, counted.
//
// Each file starts with a header (format version, rows, bytes, the table
// layout it was encoded for, a checksum of header and rows), is synced and
// renamed into place and the directory synced, so after a crash of the
// machine a file is whole or absent. A file that fails its check (or that
// the database refuses as malformed) is moved whole into quarantine/ and
// the queue goes on; quarantined files count against the bound and are
// the first to go when room is needed, oldest first. One process per
// directory: open() takes a lock.
// Not thread-safe: its owner serialises the calls.
#include <cstdint>
#include <deque>
#include <map>
#include <string>

namespace kr::collector {

class Spool {
public:
    Spool() = default;
    ~Spool();
    Spool(const Spool&) = delete;
    Spool& operator=(const Spool&) = delete;

    // Creates `dir` if needed, locks it against other collectors, removes
    // unfinished files and takes in the batches a previous run left.
    // `layout` identifies the row encoding (files of another are
    // quarantined when read). False with the reason on failure.
    bool open(const std::string& dir, std::uint64_t max_bytes, std::uint64_t layout, std::string& error);
    // Files of `layout` are replayed too (an earlier encoding of the same bytes).
    void also_accept(std::uint64_t layout) { also_accepted_ = layout; }

    const std::string& dir() const { return dir_; }
    bool empty() const { return files_.empty(); }
    std::size_t batches() const { return files_.size(); }
    std::uint64_t bytes() const { return bytes_; }
    // One past the highest sequence number held or ever stored (0 when none).
    std::uint64_t next_sequence() const { return next_sequence_; }
    std::uint64_t rows() const;

    // Whether a batch of `size` bytes of rows fits beside the batches held
    // (quarantined files make room).
    bool fits(std::size_t size) const;
    // Stores a batch, removing quarantined files and then the oldest batches
    // to make room (a batch larger than the whole bound is itself dropped).
    // False when it could not be written; out_of_space() then tells whether
    // the file system was full.
    bool push(std::uint64_t sequence, std::uint32_t rows, const std::string& data, std::string& error);
    bool out_of_space() const { return out_of_space_; }
    // Drops the oldest batch, counted.
    void drop_oldest();
    // Reads and checks the oldest batch. False when there is none, or when
    // it failed its check and was quarantined: `error` then says so.
    bool read_front(std::uint64_t& sequence, std::uint32_t& rows, std::string& data, std::string& error);
    // Deletes the batch once inserted; false if the bound dropped it meanwhile.
    bool remove(std::uint64_t sequence);
    // Moves the batch into quarantine/; `note` gets the line that names it.
    void quarantine(std::uint64_t sequence, const std::string& reason, std::string& note);

    std::uint64_t dropped_batches() const { return dropped_batches_; }
    std::uint64_t dropped_rows() const { return dropped_rows_; }
    std::uint64_t quarantined_batches() const { return quarantined_batches_; }
    // Quarantined files removed to make room.
    std::uint64_t removed_quarantined() const { return removed_quarantined_; }

private:
    struct File {
        std::uint32_t rows;
        std::uint64_t bytes;
    };
    std::string path(std::uint64_t sequence, std::uint32_t rows) const;
    bool check(const std::string& file, std::uint32_t name_rows, std::string& data, std::uint32_t& rows,
               std::string& reason) const;
    void make_room(std::uint64_t size);

    std::string dir_;
    int lock_fd_ = -1;
    std::uint64_t max_bytes_ = 0;
    std::uint64_t layout_ = 0;
    std::uint64_t also_accepted_ = 0;
    std::map<std::uint64_t, File> files_;
    std::uint64_t bytes_ = 0;
    std::uint64_t next_sequence_ = 0;
    std::uint64_t dropped_batches_ = 0;
    std::uint64_t dropped_rows_ = 0;
    std::uint64_t quarantined_batches_ = 0;
    std::deque<std::pair<std::string, std::uint64_t>> quarantined_;  // path and bytes, oldest first
    std::uint64_t quarantined_bytes_ = 0;
    std::uint64_t removed_quarantined_ = 0;
    bool out_of_space_ = false;
};

}  // namespace kr::collector
