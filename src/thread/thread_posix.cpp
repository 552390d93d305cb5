#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <new>
#include <vector>

#include "thread/thread.h"

namespace kr::thread {
namespace {

enum class Kind { thread, mutex, event };

struct Object {
    explicit Object(Kind k) : kind(k) {}
    Kind kind;
};

// Owned by the locking thread, as a Windows mutex is: an unlock from another
// thread fails instead of corrupting the lock.
struct MutexObject : Object {
    MutexObject() : Object(Kind::mutex) { pthread_mutex_init(&m, nullptr); }
    ~MutexObject() { pthread_mutex_destroy(&m); }
    pthread_mutex_t m;
    std::atomic<bool> held{false};
    std::atomic<pthread_t> owner{};
};

// Auto-reset event, with the Windows rule: a signal given while threads
// wait releases one of them; given while none waits it stays pending (one at
// most) and ends the next wait at once. One atomic word holds both the
// pending signal and the number of waiters not yet released, so a signal
// either releases a waiter or leaves itself pending, never both and never
// neither; released waiters take one count each from a semaphore eventfd.
// Signalling uses nothing but atomics and one write, which is safe inside a
// signal handler (the agent's interrupt handler signals its stop event).
struct EventObject : Object {
    static constexpr std::uint32_t kPending = 1;  // the rest counts waiters, in steps of 2
    static constexpr std::uint32_t kWaiter = 2;
    EventObject() : Object(Kind::event), fd(eventfd(0, EFD_CLOEXEC | EFD_SEMAPHORE | EFD_NONBLOCK)) {}
    ~EventObject() {
        if (fd >= 0) close(fd);
    }
    int fd;
    std::atomic<std::uint32_t> state{0};
};

// A detached pthread plus a "finished" latch, so that a join can be repeated
// on the same handle as a wait on a Windows thread handle can. The handle
// and the running thread each hold a reference: closing the handle of a
// running thread leaves the object to the thread, as Windows keeps a thread
// whose handle was closed.
struct ThreadObject : Object {
    ThreadObject(ThreadRoutine r, void* a) : Object(Kind::thread), routine(r), argument(a) {
        pthread_mutex_init(&m, nullptr);
        pthread_cond_init(&c, nullptr);
    }
    ~ThreadObject() {
        pthread_cond_destroy(&c);
        pthread_mutex_destroy(&m);
    }
    ThreadRoutine routine;
    void* argument;
    pthread_mutex_t m;
    pthread_cond_t c;
    bool finished = false;
    std::atomic<int> references{2};
};

// Thread handles are never closed by the agent; keeping them listed here
// keeps them reachable for the process's life, as their Windows kin are.
std::mutex registry_lock;
std::vector<ThreadObject*>& registry() {
    static std::vector<ThreadObject*>* list = new std::vector<ThreadObject*>();
    return *list;
}

void unlist(ThreadObject* t) {
    std::lock_guard<std::mutex> g(registry_lock);
    auto& list = registry();
    for (auto it = list.begin(); it != list.end(); ++it) {
        if (*it == t) {
            list.erase(it);
            break;
        }
    }
}

void release(ThreadObject* t) {
    if (t->references.fetch_sub(1) == 1) delete t;
}

void* thread_main(void* p) {
    auto* t = static_cast<ThreadObject*>(p);
    t->routine(t->argument);
    pthread_mutex_lock(&t->m);
    t->finished = true;
    pthread_cond_broadcast(&t->c);
    pthread_mutex_unlock(&t->m);
    release(t);
    return nullptr;
}

int platform_create(ThreadHandle* thread, ThreadRoutine routine, void* argument) {
    auto* t = new (std::nothrow) ThreadObject(routine, argument);
    if (!t) return ENOMEM;
    {
        std::lock_guard<std::mutex> g(registry_lock);
        registry().push_back(t);
    }
    pthread_t id;
    int rc = pthread_create(&id, nullptr, thread_main, t);
    if (rc != 0) {
        unlist(t);
        delete t;
        return rc;
    }
    pthread_detach(id);
    *thread = t;
    return 0;
}

template <class T>
T* as(void* h, Kind kind) {
    auto* o = static_cast<Object*>(h);
    return (o && o->kind == kind) ? static_cast<T*>(o) : nullptr;
}

}  // namespace

const ThreadApi& thread_platform_api() {
    static const ThreadApi api{platform_create};
    return api;
}

int thread_join(ThreadHandle thread, void**) {
    auto* t = as<ThreadObject>(thread, Kind::thread);
    if (!t) return -1;
    pthread_mutex_lock(&t->m);
    while (!t->finished) pthread_cond_wait(&t->c, &t->m);
    pthread_mutex_unlock(&t->m);
    return 0;
}

int mutex_create(Mutex* mutex, const void*) {
    *mutex = new (std::nothrow) MutexObject();
    return *mutex ? 0 : -1;
}

int mutex_lock(Mutex* mutex) {
    auto* m = as<MutexObject>(*mutex, Kind::mutex);
    if (!m || pthread_mutex_lock(&m->m) != 0) return -1;
    m->owner = pthread_self();
    m->held = true;
    return 0;
}

int mutex_unlock(Mutex* mutex) {
    auto* m = as<MutexObject>(*mutex, Kind::mutex);
    if (!m || !m->held || !pthread_equal(m->owner.load(), pthread_self())) return -1;
    m->held = false;
    return pthread_mutex_unlock(&m->m) == 0 ? 0 : -1;
}

int event_create(Event* event, const void*) {
    auto* e = new (std::nothrow) EventObject();
    if (e && e->fd < 0) {
        delete e;
        e = nullptr;
    }
    *event = e;
    return e ? 0 : -1;
}

int event_signal(Event* event) {
    auto* e = as<EventObject>(*event, Kind::event);
    if (!e) return -1;
    std::uint32_t state = e->state.load();
    for (;;) {
        if (state >= EventObject::kWaiter) {
            if (e->state.compare_exchange_weak(state, state - EventObject::kWaiter)) break;
        } else if (state == EventObject::kPending) {
            return 0;  // one is pending already
        } else if (e->state.compare_exchange_weak(state, EventObject::kPending)) {
            return 0;
        }
    }
    // One waiter is released: hand it its count.
    std::uint64_t one = 1;
    ssize_t n;
    do {
        n = write(e->fd, &one, sizeof one);
    } while (n < 0 && errno == EINTR);
    return n == static_cast<ssize_t>(sizeof one) ? 0 : -1;
}

namespace {

// In nanoseconds: a clock cut to whole milliseconds put the deadline up to a
// millisecond early, and a timed wait could end before its limit.
std::int64_t now_ns() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000000000LL + now.tv_nsec;
}

// The wait of event_wait and event_wait_for; deadline (ns) < 0: none. 0 when
// a signal ended it, 1 at the time limit, -1 on failure.
int wait_event(EventObject* e, std::int64_t deadline) {
    std::uint32_t state = e->state.load();
    for (;;) {
        if (state == EventObject::kPending) {
            if (e->state.compare_exchange_weak(state, 0)) return 0;  // took the pending signal
        } else if (e->state.compare_exchange_weak(state, state + EventObject::kWaiter)) {
            break;
        }
    }
    // Waiting: a signal releases us with one count on the descriptor. The
    // descriptor is non-blocking, as waiters share it.
    for (;;) {
        std::uint64_t count = 0;
        if (read(e->fd, &count, sizeof count) == static_cast<ssize_t>(sizeof count)) return 0;
        if (errno != EAGAIN && errno != EINTR) return -1;
        int limit = -1;
        if (deadline >= 0) {
            const std::int64_t left_ns = deadline - now_ns();
            if (left_ns <= 0) {
                // Leave the waiters, unless a signal has released us already:
                // then its count is on its way.
                state = e->state.load();
                while (state >= EventObject::kWaiter) {
                    if (e->state.compare_exchange_weak(state, state - EventObject::kWaiter)) return 1;
                }
                deadline = -1;
                continue;
            }
            // Rounded up, so that poll does not wake just short of the deadline.
            const std::int64_t left = (left_ns + 999999) / 1000000;
            limit = left > INT32_MAX ? INT32_MAX : static_cast<int>(left);
        }
        pollfd p{e->fd, POLLIN, 0};
        if (poll(&p, 1, limit) < 0 && errno != EINTR) return -1;
    }
}

}  // namespace

int event_wait(Event* event, Mutex* mutex) {
    mutex_unlock(mutex);
    auto* e = as<EventObject>(*event, Kind::event);
    const int result = e ? wait_event(e, -1) : -1;
    mutex_lock(mutex);
    return result;
}

int event_wait_for(Event* event, Mutex* mutex, std::uint32_t milliseconds) {
    mutex_unlock(mutex);
    auto* e = as<EventObject>(*event, Kind::event);
    const int result = e ? wait_event(e, now_ns() + milliseconds * 1000000LL) : -1;
    mutex_lock(mutex);
    return result;
}

int handle_close(void** handle) {
    auto* o = static_cast<Object*>(*handle);
    if (!o) return -1;
    switch (o->kind) {
        case Kind::mutex: delete static_cast<MutexObject*>(o); break;
        case Kind::event: delete static_cast<EventObject*>(o); break;
        case Kind::thread: {
            auto* t = static_cast<ThreadObject*>(o);
            unlist(t);
            release(t);
            break;
        }
    }
    return 0;
}

std::uint32_t current_process_id() { return static_cast<std::uint32_t>(getpid()); }

std::int32_t last_error() { return errno; }

void sleep_ms(std::uint32_t milliseconds) {
    timespec ts{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

}  // namespace kr::thread
