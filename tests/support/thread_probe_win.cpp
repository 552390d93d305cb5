#include <windows.h>

#include "support/thread_probe.h"

namespace kr::test {

std::uint64_t current_thread_id() { return GetCurrentThreadId(); }

bool wait_until_blocked(std::uint64_t, int) {
    Sleep(200);
    return true;
}

bool wait_until_ended(std::uint64_t thread_id, int timeout_ms) {
    HANDLE thread = OpenThread(SYNCHRONIZE, FALSE, static_cast<DWORD>(thread_id));
    if (!thread) return true;  // no such thread any more
    const bool ended = WaitForSingleObject(thread, static_cast<DWORD>(timeout_ms)) == WAIT_OBJECT_0;
    CloseHandle(thread);
    return ended;
}

}  // namespace kr::test
