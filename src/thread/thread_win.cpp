#include <windows.h>

#include "thread/thread.h"

namespace kr::thread {
namespace {

HANDLE as_handle(void* h) { return static_cast<HANDLE>(h); }

int platform_create(ThreadHandle* thread, ThreadRoutine routine, void* argument) {
    HANDLE h = CreateThread(nullptr, 0, reinterpret_cast<LPTHREAD_START_ROUTINE>(routine), argument, 0, nullptr);
    *thread = h;
    return h ? 0 : static_cast<int>(GetLastError());
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

void sleep_ms(std::uint32_t milliseconds) { Sleep(milliseconds); }

}  // namespace kr::thread
