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

namespace kr::substitute {

class EventSource {
public:
    virtual ~EventSource() = default;
    // Called when a trace is opened on the source: 0, or a Windows error
    // code for the open to report (see kr::error::register_error_text).
    virtual ULONG open() { return ERROR_SUCCESS; }
    // The next record, waiting at most wait_ms for one; null when none came.
    // The record and its user data stay valid until the next call.
    virtual const EVENT_RECORD* next(std::uint32_t wait_ms) = 0;
    // Ends a wait in next() at once. Any thread.
    virtual void wake() = 0;
    // The trace is closed: ends a wait in next() at once, and from now on
    // next() returns, without waiting, only what had arrived before, then
    // null. The next open() takes input again. Any thread.
    virtual void end_input() = 0;
    // The buffers of the session the source feeds: bytes each and how many.
    // A source whose events are written regardless of the consumer holds at
    // most that much and loses what finds no room; others ignore it.
    virtual void set_buffers(std::uint32_t /*bytes_each*/, std::uint32_t /*count*/) {}
    // Events lost for want of buffer room since the source was made. Any thread.
    virtual std::uint64_t events_lost() const { return 0; }
};

// A source that tests (and benchmarks) push records into, from any thread:
// the provider's writes, made whether or not the consumer keeps up. Once
// given buffers, it holds at most their bytes (each record counts its header
// and user data) and loses a record that finds no room, as a session whose
// consumer stalls does.
class FeedSource : public EventSource {
public:
    // Copies the record and its user data, or counts it lost.
    void push(const EVENT_RECORD& record);
    std::size_t pending() const;

    ULONG open() override;
    const EVENT_RECORD* next(std::uint32_t wait_ms) override;
    void wake() override;
    // Records pushed afterwards stay queued for the next open.
    void end_input() override;
    void set_buffers(std::uint32_t bytes_each, std::uint32_t count) override;
    std::uint64_t events_lost() const override;

private:
    static std::size_t cost(const EVENT_RECORD& record) { return sizeof(EVENT_HEADER) + record.UserDataLength; }
    struct Owned {
        EVENT_RECORD record;
        std::vector<std::uint8_t> user_data;
    };
    mutable std::mutex lock_;
    std::condition_variable ready_;
    std::deque<Owned> queue_;
    Owned current_{};
    bool woken_ = false;
    bool ended_ = false;
    std::size_t deliverable_ = 0;  // after end_input: records still to deliver
    std::size_t capacity_ = 0;     // bytes; 0 holds any number
    std::size_t held_ = 0;         // bytes of the queued records
    std::uint64_t lost_ = 0;
};

}  // namespace kr::substitute
