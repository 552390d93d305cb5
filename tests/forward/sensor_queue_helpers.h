#pragma once
// What the ring's tests share: messages of a given length and a created queue.
#include "forward/sensor_queue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "error/error.h"
#include "support/log_capture.h"
#include "support/ring_model.h"
#include "thread/crt.h"

namespace kr::forward {
using kr::sensor::SensorError;

using Bytes = std::vector<std::uint8_t>;
using kr::thread::ThreadHandle;

inline Bytes message(std::uint32_t length, std::uint8_t seed) {
    Bytes bytes(length);
    for (std::uint32_t i = 0; i < length; ++i) bytes[i] = static_cast<std::uint8_t>(seed + i * 7);
    return bytes;
}

// A created queue, destroyed at the end of the test.
struct Queue {
    explicit Queue(std::uint32_t capacity) { create(q, capacity); }
    ~Queue() { destroy(q); }
    // An empty ring whose reader and writer stand at pos.
    void empty_at(std::uint32_t pos) { q.read_pos = q.write_pos = pos; }
    // Without its handles every lock call fails at once and so does push's
    // signal (push then returns -1); the ring itself works as before.
    void unlocked() {
        for (void** handle : {&q.ring_lock, &q.wait_lock, &q.data_ready}) {
            kr::thread::handle_close(handle);
            *handle = nullptr;
        }
    }
    int push(const Bytes& m) { return kr::forward::push(q, m.data(), static_cast<std::uint32_t>(m.size())); }
    // The popped message, or nothing when pop gave 0 or -1 (checked by result).
    Bytes pop(int& result, std::uint32_t out_size = 1 << 16) {
        Bytes out(out_size);
        result = kr::forward::pop(q, out.data(), out_size);
        out.resize(result > 0 ? static_cast<std::size_t>(result) : 0);
        return out;
    }
    Bytes pop() {
        int result = 0;
        return pop(result);
    }
    std::uint8_t at(std::uint32_t pos) const { return q.storage[pos % q.capacity]; }
    SensorQueue q;
};

}  // namespace kr::forward
