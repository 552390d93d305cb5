#pragma once
// Threads, auto-reset events and mutexes, in the shape of POSIX threads.
// Handles are opaque pointer-sized values, null when creation failed; every
// operation on a null handle fails at once with -1. All waits are without a
// time limit, except event_wait_for's. Safe to call from any thread.
#include <cstdint>

namespace kr::thread {

using ThreadHandle = void*;
using Mutex = void*;
using Event = void*;
using ThreadRoutine = std::uint32_t (*)(void* argument);

// Starts the routine on a new thread. Returns 0, or the system error code
// (never -1); the handle is stored either way (null on failure).
int thread_create(ThreadHandle* thread, const void* attributes, ThreadRoutine routine, void* argument);
// Waits for the thread to end. The handle stays valid: joining again returns 0 at once.
int thread_join(ThreadHandle thread, void** ignored);

int mutex_create(Mutex* mutex, const void* attributes);
int mutex_lock(Mutex* mutex);
// Only the thread that holds the mutex may unlock it; any other gets -1.
int mutex_unlock(Mutex* mutex);

// Auto-reset, created not signalled. A signal with no waiter stays pending
// (one at most: signals do not add up) and ends the next wait at once.
int event_create(Event* event, const void* attributes);
int event_signal(Event* event);
// Condition wait: releases the held mutex, waits for the event, locks the
// mutex again. 0 when the event ended the wait, else -1 (the mutex is
// re-locked in either case).
int event_wait(Event* event, Mutex* mutex);
// The same wait ended after at most `milliseconds` as well: 0 when the event
// ended it, 1 at the time limit, -1 on failure (the mutex is re-locked in
// every case). For periodic work only; every other wait has no time limit.
int event_wait_for(Event* event, Mutex* mutex, std::uint32_t milliseconds);

int handle_close(void** handle);
std::uint32_t current_process_id();

// The calling thread's error number after a failed mutex_create or
// event_create: GetLastError on Windows, errno elsewhere.
std::int32_t last_error();

// Seam for the one call whose failure the agent acts on: tests replace it to
// make thread creation fail. Defaults to the platform's thread creation.
struct ThreadApi {
    int (*create)(ThreadHandle* thread, ThreadRoutine routine, void* argument);
};
ThreadApi& thread_api();
const ThreadApi& thread_platform_api();

// Sleeps the calling thread for the given milliseconds (Sleep on Windows).
void sleep_ms(std::uint32_t milliseconds);

}  // namespace kr::thread
