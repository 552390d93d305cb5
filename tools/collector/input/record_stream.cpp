#include "input/record_stream.h"

namespace kr::collector {

namespace {
constexpr std::size_t kLengthSize = 4;
}

void RecordStream::feed(const std::uint8_t* data, std::size_t size) {
    if (!error_.empty() || size == 0) {
        return;
    }
    // Drop what was handed out before growing, so the buffer stays about one
    // record plus one chunk long however long the connection lives.
    if (start_ == buffer_.size()) {
        buffer_.clear();
        start_ = 0;
    } else if (start_ > 0 && start_ >= buffer_.size() / 2) {
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(start_));
        start_ = 0;
    }
    buffer_.insert(buffer_.end(), data, data + size);
}

RecordStream::Status RecordStream::next(Bytes& record) {
    if (!error_.empty()) {
        return Status::error;
    }
    const std::size_t available = buffer_.size() - start_;
    if (available < kLengthSize) {
        return Status::need_more;
    }
    const std::uint32_t length = read_be32(buffer_.data() + start_);
    if (length > max_record_) {
        error_ = "record length " + std::to_string(length) + " exceeds the maximum " + std::to_string(max_record_);
        return Status::error;
    }
    if (available - kLengthSize < length) {
        return Status::need_more;
    }
    record = Bytes(buffer_.data() + start_ + kLengthSize, length);
    start_ += kLengthSize + length;
    return Status::record;
}

std::string RecordStream::unfinished() const {
    const std::size_t available = pending();
    if (available == 0) {
        return "";
    }
    if (available < kLengthSize) {
        return "stream ends inside a length field (" + std::to_string(available) + " of 4 bytes)";
    }
    const std::uint32_t length = read_be32(buffer_.data() + start_);
    return "stream ends inside a record (" + std::to_string(available - kLengthSize) + " of " +
           std::to_string(length) + " bytes)";
}

}  // namespace kr::collector
