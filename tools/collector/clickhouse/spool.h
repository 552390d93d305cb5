#pragma once
// Batches waiting on disk for the database: one file per batch, named by
// its sequence number so the oldest replays first, also after a restart.
// Bounded in bytes: making room drops the oldest batches, counted. Files
// are written under a temporary name and renamed, so a crash leaves no
// half batch behind. Not thread-safe: its owner serialises the calls.
#include <cstdint>
#include <map>
#include <string>

namespace kr::collector {

class Spool {
public:
    // Creates `dir` if needed, removes unfinished files, and takes in the
    // batches a previous run left. False with the reason on failure.
    bool open(const std::string& dir, std::uint64_t max_bytes, std::string& error);

    bool empty() const { return files_.empty(); }
    std::size_t batches() const { return files_.size(); }
    std::uint64_t bytes() const { return bytes_; }
    // One past the highest sequence number held or ever stored (0 when none).
    std::uint64_t next_sequence() const { return next_sequence_; }
    std::uint64_t rows() const;

    // Stores a batch, dropping the oldest ones to make room (a batch larger
    // than the whole bound is itself dropped). False when it could not be written.
    bool push(std::uint64_t sequence, std::uint32_t rows, const std::string& data, std::string& error);
    // Reads the oldest batch; a file that cannot be read is dropped, counted.
    bool read_front(std::uint64_t& sequence, std::uint32_t& rows, std::string& data, std::string& error);
    // Deletes the batch once inserted; false if the bound dropped it meanwhile.
    bool remove(std::uint64_t sequence);

    std::uint64_t dropped_batches() const { return dropped_batches_; }
    std::uint64_t dropped_rows() const { return dropped_rows_; }

private:
    struct File {
        std::uint32_t rows;
        std::uint64_t bytes;
    };
    std::string path(std::uint64_t sequence, std::uint32_t rows) const;
    void drop_front();

    std::string dir_;
    std::uint64_t max_bytes_ = 0;
    std::map<std::uint64_t, File> files_;
    std::uint64_t bytes_ = 0;
    std::uint64_t next_sequence_ = 0;
    std::uint64_t dropped_batches_ = 0;
    std::uint64_t dropped_rows_ = 0;
};

}  // namespace kr::collector
