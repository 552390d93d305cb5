#pragma once
// What a test needs to know about another thread of its process and the
// thread layer does not tell: whether it sleeps in a blocking call, and
// whether it has ended (for a thread whose handle was closed).
#include <cstdint>

namespace kr::test {

std::uint64_t current_thread_id();

// Linux: waits until the thread sleeps (state S in /proc). Windows offers
// no such view: there it gives the thread 200 ms. False on time-out.
bool wait_until_blocked(std::uint64_t thread_id, int timeout_ms = 5000);

// Waits until the thread has ended. False on time-out.
bool wait_until_ended(std::uint64_t thread_id, int timeout_ms = 5000);

}  // namespace kr::test
