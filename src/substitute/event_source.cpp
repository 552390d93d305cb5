#include "substitute/event_source.h"

#include <chrono>

namespace kr::substitute {

void FeedSource::push(const EVENT_RECORD& record) {
    Owned item{record, {}};
    const auto* data = static_cast<const std::uint8_t*>(record.UserData);
    if (data) item.user_data.assign(data, data + record.UserDataLength);
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (capacity_ != 0 && held_ + cost(record) > capacity_) {
            ++lost_;
            return;
        }
        held_ += cost(record);
        queue_.push_back(std::move(item));
    }
    ready_.notify_one();
}

void FeedSource::set_buffers(std::uint32_t bytes_each, std::uint32_t count) {
    std::lock_guard<std::mutex> guard(lock_);
    capacity_ = std::size_t{bytes_each} * count;
}

std::uint64_t FeedSource::events_lost() const {
    std::lock_guard<std::mutex> guard(lock_);
    return lost_;
}

std::size_t FeedSource::pending() const {
    std::lock_guard<std::mutex> guard(lock_);
    return queue_.size();
}

ULONG FeedSource::open() {
    std::lock_guard<std::mutex> guard(lock_);
    ended_ = false;
    return ERROR_SUCCESS;
}

const EVENT_RECORD* FeedSource::next(std::uint32_t wait_ms) {
    std::unique_lock<std::mutex> guard(lock_);
    if (!ended_) {
        ready_.wait_for(guard, std::chrono::milliseconds(wait_ms),
                        [this] { return !queue_.empty() || woken_ || ended_; });
        woken_ = false;
    }
    if (ended_) {
        if (deliverable_ == 0) return nullptr;
        --deliverable_;
    }
    if (queue_.empty()) return nullptr;
    current_ = std::move(queue_.front());
    queue_.pop_front();
    held_ -= cost(current_.record);
    current_.record.UserData = current_.user_data.empty() ? nullptr : current_.user_data.data();
    return &current_.record;
}

void FeedSource::wake() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        woken_ = true;
    }
    ready_.notify_all();
}

void FeedSource::end_input() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        ended_ = true;
        deliverable_ = queue_.size();
    }
    ready_.notify_all();
}

}  // namespace kr::substitute
