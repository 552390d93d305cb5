#pragma once
// A count for the "Stats:" log line. One thread at a time changes it (its
// owner, or whoever holds the lock that guards it) and any thread may read
// it: relaxed loads and stores, no locked instruction, no lock of its own.
#include <atomic>
#include <cstdint>

namespace kr::log {

class Counter {
public:
    void add(std::uint64_t n = 1) { value_.store(value_.load(std::memory_order_relaxed) + n, std::memory_order_relaxed); }
    void subtract(std::uint64_t n) { add(0 - n); }
    void set(std::uint64_t n) { value_.store(n, std::memory_order_relaxed); }
    std::uint64_t get() const { return value_.load(std::memory_order_relaxed); }

private:
    std::atomic<std::uint64_t> value_{0};
};

}  // namespace kr::log
