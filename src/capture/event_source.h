#pragma once
// Where the trace substitute's events come from: tests feed records, the
// Linux build reads real DNS traffic. One source serves one open trace at a time.
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <condition_variable>
#include <vector>

#include "capture/etw_types.h"

namespace kr::capture {

class EventSource {
public:
    virtual ~EventSource() = default;
    // Called when a trace is opened on the source: 0, or a Windows error
    // code for the open to report (see kr::error::register_error_text).
    virtual ULONG open() { return ERROR_SUCCESS; }
    // The next record, waiting at most wait_ms for one; null when none came.
    // The record and its user data stay valid until the next call.
    virtual const EVENT_RECORD* next(std::uint32_t wait_ms) = 0;
    // Ends a wait in next() at once (the trace is being closed). Any thread.
    virtual void wake() = 0;
};

// A source that tests (and benchmarks) push records into, from any thread.
class FeedSource : public EventSource {
public:
    // Copies the record and its user data.
    void push(const EVENT_RECORD& record);
    std::size_t pending() const;

    const EVENT_RECORD* next(std::uint32_t wait_ms) override;
    void wake() override;

private:
    struct Owned {
        EVENT_RECORD record;
        std::vector<std::uint8_t> user_data;
    };
    mutable std::mutex lock_;
    std::condition_variable ready_;
    std::deque<Owned> queue_;
    Owned current_{};
    bool woken_ = false;
};

}  // namespace kr::capture
