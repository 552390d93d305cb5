#pragma once
// The sensor queue's rule, one byte at a time: the reference that the block
// copies of push and pop must match in every stored byte and position. Shared
// by the queue's tests and its fuzzer. Header only, no test framework.
#include <algorithm>
#include <cstdint>
#include <vector>

namespace kr::test {

struct RingModel {
    explicit RingModel(std::uint32_t capacity) : storage(capacity, 0), capacity(capacity) {}

    std::uint32_t read_length(std::uint32_t& start, bool& passed_end) const {
        std::uint32_t length = 0, pos = read_pos;
        passed_end = false;
        for (int i = 0; i < 4; ++i) {
            length = (length << 8) | storage[pos];
            if (++pos == capacity && i < 3) pos = 0, passed_end = true;
        }
        start = pos;  // capacity when the field ends at the ring end
        return length;
    }
    void drop_oldest() {
        std::uint32_t start;
        bool passed_end;
        const std::uint32_t length = read_length(start, passed_end);
        ++dropped;
        dropped_bytes += 4 + std::uint64_t{length};
        std::uint64_t end = std::uint64_t{read_pos} + 4 + length;
        if (end < capacity) {
            read_pos = static_cast<std::uint32_t>(end);
        } else {
            read_pos = static_cast<std::uint32_t>(end - capacity);
            wrapped = false;
        }
    }
    void store(std::uint8_t byte) {
        if (write_pos == read_pos && wrapped) drop_oldest();
        storage[write_pos] = byte;
        if (++write_pos == capacity) write_pos = 0, wrapped = true;
    }
    // False (and nothing stored) for a record longer than the ring.
    bool push(const std::uint8_t* data, std::uint32_t n) {
        if (std::uint64_t{n} + 4 > capacity) return false;
        for (int shift = 24; shift >= 0; shift -= 8) store(static_cast<std::uint8_t>(n >> shift));
        for (std::uint32_t i = 0; i < n; ++i) store(data[i]);
        ++stored;
        return true;
    }
    bool push(const std::vector<std::uint8_t>& m) {
        return push(m.data(), static_cast<std::uint32_t>(m.size()));
    }
    int pop(std::vector<std::uint8_t>& out, std::uint32_t out_size) {
        out.clear();
        if (!wrapped && read_pos >= write_pos) return 0;
        std::uint32_t start;
        bool passed_end;
        std::uint32_t length = read_length(start, passed_end);
        if (length > out_size) return -1;
        for (std::uint32_t i = 0; i < length; ++i) out.push_back(storage[(std::uint64_t{start} + i) % capacity]);
        ++popped;
        std::uint64_t end = std::uint64_t{start} + length;
        if (end < capacity) {
            read_pos = static_cast<std::uint32_t>(end);
            if (passed_end) wrapped = false;
        } else {
            read_pos = static_cast<std::uint32_t>(end - capacity);
            wrapped = false;
        }
        return static_cast<int>(length);
    }

    // Pops one by one while the next record still fits min(out_size, limit)
    // (the first only out_size), each appended as length field + message;
    // empty messages are popped and left out. -1 when the first is too long.
    int pop_batch(std::vector<std::uint8_t>& out, std::uint32_t out_size, std::uint32_t limit,
                  std::uint32_t& records) {
        out.clear();
        records = 0;
        std::vector<std::uint8_t> message;
        while (wrapped || read_pos < write_pos) {
            std::uint32_t start;
            bool passed_end;
            const std::uint32_t length = read_length(start, passed_end);
            const std::uint64_t record = std::uint64_t{length} + 4;
            if (length == 0) {
                pop(message, 0);
                continue;
            }
            if (out.empty() && record > out_size) return -1;
            if (!out.empty() && out.size() + record > std::min(out_size, limit)) break;
            pop(message, length);
            ++records;
            for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(length >> shift));
            out.insert(out.end(), message.begin(), message.end());
        }
        return static_cast<int>(out.size());
    }

    std::vector<std::uint8_t> storage;
    std::uint32_t capacity;
    std::uint32_t read_pos = 0, write_pos = 0;
    bool wrapped = false;
    // Records stored, dropped as the oldest (and their ring bytes), taken out.
    std::uint64_t stored = 0, dropped = 0, dropped_bytes = 0, popped = 0;
    std::uint64_t used() const {
        return wrapped ? std::uint64_t{capacity} - read_pos + write_pos : write_pos - read_pos;
    }
};

}  // namespace kr::test
