#pragma once
// Splits one connection's byte stream into records: a 4-byte big-endian
// length, then exactly that many payload bytes.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "model/bytes.h"

namespace kr::collector {

// Incremental record splitter, free of I/O. feed() takes chunks of any size;
// next() hands out each complete record in order. A length field above the
// maximum is an error as soon as its 4 bytes are in, before the payload is
// awaited; after an error the stream stays failed.
class RecordStream {
public:
    enum class Status { record, need_more, error };

    explicit RecordStream(std::uint32_t max_record) : max_record_(max_record) {}

    void feed(const std::uint8_t* data, std::size_t size);
    // record: `record` views the payload, valid until the next feed() or next().
    // need_more: no complete record is buffered. error: see error().
    Status next(Bytes& record);

    const std::string& error() const { return error_; }
    // Bytes of an incomplete record held back (0 at a record boundary).
    std::size_t pending() const { return buffer_.size() - start_; }
    // Why the stream may not end here: "" at a record boundary, otherwise
    // how far the unfinished record got.
    std::string unfinished() const;

private:
    std::uint32_t max_record_;
    std::vector<std::uint8_t> buffer_;
    std::size_t start_ = 0;  // first byte not yet handed out
    std::string error_;
};

}  // namespace kr::collector
