#include "thread/thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

#include "support/thread_probe.h"

namespace kr::thread {
namespace {

struct Waiter {
    Event event = nullptr;
    Mutex mutex = nullptr;
    std::atomic<int> result{99};
    std::atomic<bool> done{false};
    std::atomic<std::uint64_t> thread_id{0};
};

std::uint32_t wait_once(void* p) {
    auto* w = static_cast<Waiter*>(p);
    w->thread_id = kr::test::current_thread_id();
    mutex_lock(&w->mutex);
    w->result = event_wait(&w->event, &w->mutex);
    mutex_unlock(&w->mutex);
    w->done = true;
    return 0;
}

template <class Pred>
bool becomes_true_when(Pred pred, int ms = 5000) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!pred() && std::chrono::steady_clock::now() < until) sleep_ms(1);
    return pred();
}

bool becomes_true(const std::atomic<bool>& flag, int ms) {
    return becomes_true_when([&] { return flag.load(); }, ms);
}

TEST(ThreadLayer, AutoResetEventKeepsOnePendingSignal) {
    Waiter w;
    ASSERT_EQ(0, event_create(&w.event, nullptr));
    ASSERT_EQ(0, mutex_create(&w.mutex, nullptr));
    // Two signals with nobody waiting leave one: the first wait returns at
    // once, the second blocks until the next signal.
    EXPECT_EQ(0, event_signal(&w.event));
    EXPECT_EQ(0, event_signal(&w.event));
    mutex_lock(&w.mutex);
    EXPECT_EQ(0, event_wait(&w.event, &w.mutex));
    mutex_unlock(&w.mutex);

    ThreadHandle t = nullptr;
    ASSERT_EQ(0, thread_create(&t, nullptr, wait_once, &w));
    ASSERT_NE(nullptr, t);
    EXPECT_FALSE(becomes_true(w.done, 100)) << "second wait must block";
    EXPECT_EQ(0, event_signal(&w.event));
    ASSERT_TRUE(becomes_true(w.done, 5000));
    EXPECT_EQ(0, thread_join(t, nullptr));
    EXPECT_EQ(0, w.result);
    // Joining an ended thread again returns at once: the handle stays open.
    EXPECT_EQ(0, thread_join(t, nullptr));
    EXPECT_EQ(0, handle_close(&w.event));
    EXPECT_EQ(0, handle_close(&w.mutex));
}

// Starts wait_once on a thread and returns once that thread sleeps in its wait.
ThreadHandle start_waiting(Waiter& w) {
    ThreadHandle t = nullptr;
    EXPECT_EQ(0, thread_create(&t, nullptr, wait_once, &w));
    EXPECT_TRUE(becomes_true_when([&] { return w.thread_id != 0; }) &&
                kr::test::wait_until_blocked(w.thread_id));
    return t;
}

// As on Windows, a signal given while threads wait releases one of them, so
// two signals in a row release two waiters, however close together.
TEST(ThreadLayer, TwoSignalsReleaseTwoWaiters) {
    for (int trial = 0; trial < 20; ++trial) {
        SCOPED_TRACE(trial);
        Waiter w[2];
        ASSERT_EQ(0, event_create(&w[0].event, nullptr));
        w[1].event = w[0].event;
        ThreadHandle t[2];
        for (int i = 0; i < 2; ++i) {
            mutex_create(&w[i].mutex, nullptr);
            t[i] = start_waiting(w[i]);
        }
        EXPECT_EQ(0, event_signal(&w[0].event));
        EXPECT_EQ(0, event_signal(&w[0].event));
        EXPECT_TRUE(becomes_true(w[0].done, 5000) && becomes_true(w[1].done, 5000));
        while (!w[0].done || !w[1].done) {  // a lost wake must fail the test, not hang it
            event_signal(&w[0].event);
            sleep_ms(1);
        }
        for (int i = 0; i < 2; ++i) {
            thread_join(t[i], nullptr);
            EXPECT_EQ(0, w[i].result);
            handle_close(&w[i].mutex);
        }
        handle_close(&w[0].event);
    }
}

// Closing the handle of a running thread leaves the thread running on its
// own, as on Windows (the memory it still uses is checked under ASan).
TEST(ThreadLayer, ClosingARunningThreadsHandleIsHarmless) {
    Waiter w;
    event_create(&w.event, nullptr);
    mutex_create(&w.mutex, nullptr);
    ThreadHandle t = start_waiting(w);
    EXPECT_EQ(0, handle_close(&t));
    EXPECT_EQ(0, event_signal(&w.event));
    ASSERT_TRUE(becomes_true(w.done, 5000));
    EXPECT_TRUE(kr::test::wait_until_ended(w.thread_id));
    EXPECT_EQ(0, w.result);
    handle_close(&w.event);
    handle_close(&w.mutex);
}

TEST(ThreadLayer, WaitReleasesTheMutexWhileWaiting) {
    Waiter w;
    event_create(&w.event, nullptr);
    mutex_create(&w.mutex, nullptr);
    ThreadHandle t = start_waiting(w);
    // The waiter holds the mutex only around its wait, so this lock succeeds.
    EXPECT_EQ(0, mutex_lock(&w.mutex));
    EXPECT_EQ(0, event_signal(&w.event));
    EXPECT_EQ(0, mutex_unlock(&w.mutex));
    ASSERT_TRUE(becomes_true(w.done, 5000));
    EXPECT_EQ(0, thread_join(t, nullptr));
    EXPECT_EQ(0, w.result);
    handle_close(&w.event);
    handle_close(&w.mutex);
}

std::uint32_t wait_long(void* p) {
    auto* w = static_cast<Waiter*>(p);
    mutex_lock(&w->mutex);
    w->result = event_wait_for(&w->event, &w->mutex, 60000);
    mutex_unlock(&w->mutex);
    w->done = true;
    return 0;
}

TEST(ThreadLayer, TimedWaitEndsAtTheLimitOrAtASignal) {
    Waiter w;
    ASSERT_EQ(0, event_create(&w.event, nullptr));
    ASSERT_EQ(0, mutex_create(&w.mutex, nullptr));
    mutex_lock(&w.mutex);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(1, event_wait_for(&w.event, &w.mutex, 50));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));
    // A pending signal ends it at once and is consumed.
    event_signal(&w.event);
    EXPECT_EQ(0, event_wait_for(&w.event, &w.mutex, 60000));
    EXPECT_EQ(1, event_wait_for(&w.event, &w.mutex, 0));
    EXPECT_EQ(0, mutex_unlock(&w.mutex)) << "the mutex is held again after the wait";

    ThreadHandle t = nullptr;
    ASSERT_EQ(0, thread_create(&t, nullptr, wait_long, &w));
    EXPECT_FALSE(becomes_true(w.done, 100));
    EXPECT_EQ(0, event_signal(&w.event));
    EXPECT_EQ(0, thread_join(t, nullptr));
    EXPECT_EQ(0, w.result);

    Event missing = nullptr;
    mutex_lock(&w.mutex);
    EXPECT_EQ(-1, event_wait_for(&missing, &w.mutex, 60000));
    EXPECT_EQ(0, mutex_unlock(&w.mutex));
    handle_close(&w.event);
    handle_close(&w.mutex);
}

TEST(ThreadLayer, NullHandlesFailAtOnce) {
    Event e = nullptr;
    Mutex m = nullptr;
    EXPECT_EQ(-1, thread_join(nullptr, nullptr));
    EXPECT_EQ(-1, mutex_lock(&m));
    EXPECT_EQ(-1, mutex_unlock(&m));
    EXPECT_EQ(-1, event_signal(&e));
    EXPECT_EQ(-1, handle_close(&e));
    // A wait on a missing event fails without waiting and still re-locks the mutex.
    Mutex held = nullptr;
    ASSERT_EQ(0, mutex_create(&held, nullptr));
    ASSERT_EQ(0, mutex_lock(&held));
    EXPECT_EQ(-1, event_wait(&e, &held));
    EXPECT_EQ(0, mutex_unlock(&held));
    handle_close(&held);
}

std::uint32_t unlock_foreign(void* p) {
    auto* w = static_cast<Waiter*>(p);
    w->result = mutex_unlock(&w->mutex);
    return 0;
}

TEST(ThreadLayer, OnlyTheOwnerUnlocksAMutex) {
    Waiter w;
    mutex_create(&w.mutex, nullptr);
    mutex_lock(&w.mutex);
    ThreadHandle t = nullptr;
    ASSERT_EQ(0, thread_create(&t, nullptr, unlock_foreign, &w));
    thread_join(t, nullptr);
    EXPECT_EQ(-1, w.result);
    EXPECT_EQ(0, mutex_unlock(&w.mutex));
    handle_close(&w.mutex);
}

int failing_create(ThreadHandle*, ThreadRoutine, void*) { return 8; }

std::uint32_t report_pid(void* p) {
    *static_cast<std::uint32_t*>(p) = current_process_id();
    return 0;
}

TEST(ThreadLayer, FailedCreationReturnsTheSystemCodeAndANullHandle) {
    ThreadApi saved = thread_api();
    thread_api().create = failing_create;
    ThreadHandle t = reinterpret_cast<ThreadHandle>(0x1);
    std::uint32_t pid = 0;
    EXPECT_EQ(8, thread_create(&t, nullptr, report_pid, &pid));
    EXPECT_EQ(nullptr, t);
    thread_api() = saved;

    ASSERT_EQ(0, thread_create(&t, nullptr, report_pid, &pid));
    thread_join(t, nullptr);
    EXPECT_EQ(current_process_id(), pid);
}

}  // namespace
}  // namespace kr::thread
