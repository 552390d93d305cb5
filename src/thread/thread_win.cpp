#include <windows.h>

#include <new>

#include "thread/thread.h"

namespace kr::thread {
namespace {

HANDLE as_handle(void* h) { return static_cast<HANDLE>(h); }

// What the new thread runs; it owns this block.
struct Start {
    ThreadRoutine routine;
    void* argument;
};

DWORD WINAPI thread_start(LPVOID parameter) {
    const Start start = *static_cast<Start*>(parameter);
    delete static_cast<Start*>(parameter);
    return start.routine(start.argument);
}

int platform_create(ThreadHandle* thread, ThreadRoutine routine, void* argument) {
    *thread = nullptr;
    auto* start = new (std::nothrow) Start{routine, argument};
    if (!start) return ERROR_NOT_ENOUGH_MEMORY;
    HANDLE h = CreateThread(nullptr, 0, thread_start, start, 0, nullptr);
    if (!h) {
        const int code = static_cast<int>(GetLastError());
        delete start;
        return code;
    }
    *thread = h;
    return 0;
}

}  // namespace

const ThreadApi& thread_platform_api() {
    static const ThreadApi api{platform_create};
    return api;
}

int thread_join(ThreadHandle thread, void**) {
    if (!thread) return -1;
    return WaitForSingleObject(as_handle(thread), INFINITE) == WAIT_OBJECT_0 ? 0 : -1;
}

int mutex_create(Mutex* mutex, const void*) {
    *mutex = CreateMutexA(nullptr, FALSE, nullptr);
    return *mutex ? 0 : -1;
}

int mutex_lock(Mutex* mutex) {
    if (!*mutex) return -1;
    return WaitForSingleObject(as_handle(*mutex), INFINITE) == WAIT_OBJECT_0 ? 0 : -1;
}

int mutex_unlock(Mutex* mutex) {
    if (!*mutex) return -1;
    return ReleaseMutex(as_handle(*mutex)) ? 0 : -1;
}

int event_create(Event* event, const void*) {
    *event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    return *event ? 0 : -1;
}

int event_signal(Event* event) {
    if (!*event) return -1;
    return SetEvent(as_handle(*event)) ? 0 : -1;
}

int event_wait(Event* event, Mutex* mutex) {
    if (*mutex) ReleaseMutex(as_handle(*mutex));
    DWORD result = *event ? WaitForSingleObject(as_handle(*event), INFINITE) : WAIT_FAILED;
    if (*mutex) WaitForSingleObject(as_handle(*mutex), INFINITE);
    return result == WAIT_OBJECT_0 ? 0 : -1;
}

int event_wait_for(Event* event, Mutex* mutex, std::uint32_t milliseconds) {
    if (*mutex) ReleaseMutex(as_handle(*mutex));
    // INFINITE is 0xFFFFFFFF: one millisecond less keeps the wait bounded.
    const DWORD limit = milliseconds == INFINITE ? INFINITE - 1 : milliseconds;
    DWORD result = *event ? WaitForSingleObject(as_handle(*event), limit) : WAIT_FAILED;
    if (*mutex) WaitForSingleObject(as_handle(*mutex), INFINITE);
    if (result == WAIT_TIMEOUT) return 1;
    return result == WAIT_OBJECT_0 ? 0 : -1;
}

int handle_close(void** handle) {
    if (!*handle) return -1;
    return CloseHandle(as_handle(*handle)) ? 0 : -1;
}

std::uint32_t current_process_id() { return GetCurrentProcessId(); }

std::int32_t last_error() { return static_cast<std::int32_t>(GetLastError()); }

void sleep_ms(std::uint32_t milliseconds) { Sleep(milliseconds); }

}  // namespace kr::thread
