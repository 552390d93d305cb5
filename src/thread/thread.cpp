#include "thread/thread.h"

namespace kr::thread {

ThreadApi& thread_api() {
    static ThreadApi api = thread_platform_api();
    return api;
}

int thread_create(ThreadHandle* thread, const void*, ThreadRoutine routine, void* argument) {
    *thread = nullptr;
    return thread_api().create(thread, routine, argument);
}

}  // namespace kr::thread
