#include "thread/thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

namespace kr::thread {
namespace {

struct Waiter {
    Event event = nullptr;
    Mutex mutex = nullptr;
    std::atomic<int> result{99};
    std::atomic<bool> done{false};
};

std::uint32_t wait_once(void* p) {
    auto* w = static_cast<Waiter*>(p);
    mutex_lock(&w->mutex);
    w->result = event_wait(&w->event, &w->mutex);
    mutex_unlock(&w->mutex);
    w->done = true;
    return 0;
}

bool becomes_true(const std::atomic<bool>& flag, int ms) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!flag && std::chrono::steady_clock::now() < until) sleep_ms(1);
    return flag;
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
    EXPECT_EQ(0, thread_join(t, nullptr));
    EXPECT_EQ(0, w.result);
    // Joining an ended thread again returns at once: the handle stays open.
    EXPECT_EQ(0, thread_join(t, nullptr));
    EXPECT_EQ(0, handle_close(&w.event));
    EXPECT_EQ(0, handle_close(&w.mutex));
}

TEST(ThreadLayer, WaitReleasesTheMutexWhileWaiting) {
    Waiter w;
    event_create(&w.event, nullptr);
    mutex_create(&w.mutex, nullptr);
    ThreadHandle t = nullptr;
    ASSERT_EQ(0, thread_create(&t, nullptr, wait_once, &w));
    sleep_ms(50);
    // The waiter holds the mutex only around its wait, so this lock succeeds.
    EXPECT_EQ(0, mutex_lock(&w.mutex));
    EXPECT_EQ(0, event_signal(&w.event));
    EXPECT_EQ(0, mutex_unlock(&w.mutex));
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
