#include "forward/sensor_queue.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <string>

#include "error/error.h"
#include "log/log.h"
#include "thread/crt.h"

namespace kr::forward {
using kr::sensor::SensorError;

namespace {

constexpr std::uint32_t field_size = 4;

// memcpy with a zero count is allowed to have null pointers on either side here
// (a zero-length message may come without data).
void copy_bytes(std::uint8_t* to, const std::uint8_t* from, std::uint64_t count) {
    if (count != 0) std::memcpy(to, from, static_cast<std::size_t>(count));
}

// The length field at pos and the offset where its message starts. A field
// that does not wrap may leave the start at capacity (the message then begins
// at offset 0; the copies below handle it as a split with an empty first part).
struct LengthField {
    std::uint32_t length;
    std::uint32_t start;
    bool wrapped;
};

LengthField read_field(const SensorQueue& queue, std::uint32_t pos) {
    std::uint8_t bytes[field_size];
    const std::uint32_t before_end = queue.capacity - pos;
    const bool wraps = before_end < field_size;
    if (wraps) {
        std::memcpy(bytes, queue.storage + pos, before_end);
        std::memcpy(bytes + before_end, queue.storage, field_size - before_end);
    } else {
        std::memcpy(bytes, queue.storage + pos, field_size);
    }
    const std::uint32_t length = (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) |
                                 (std::uint32_t{bytes[2]} << 8) | std::uint32_t{bytes[3]};
    return {length, wraps ? field_size - before_end : pos + field_size, wraps};
}

// Copies count bytes into the ring at pos, split at the end of the ring when
// needed; returns the position after them (0 when they end at the ring's end).
std::uint32_t put(SensorQueue& queue, std::uint32_t pos, const std::uint8_t* from, std::uint32_t count) {
    const std::uint32_t before_end = queue.capacity - pos;
    if (count < before_end) {
        copy_bytes(queue.storage + pos, from, count);
        return pos + count;
    }
    copy_bytes(queue.storage + pos, from, before_end);
    copy_bytes(queue.storage, from + before_end, count - before_end);
    return count - before_end;
}

std::uint64_t used_bytes(const SensorQueue& queue) {
    if (queue.wrapped) return std::uint64_t{queue.capacity} - queue.read_pos + queue.write_pos;
    return queue.write_pos - queue.read_pos;
}

// Copies count bytes of the ring from pos on into out, split at the end of the
// ring when needed.
void take(const SensorQueue& queue, std::uint32_t pos, std::uint8_t* out, std::uint64_t count) {
    const std::uint32_t before_end = queue.capacity - pos;
    if (count <= before_end) {
        copy_bytes(out, queue.storage + pos, count);
        return;
    }
    copy_bytes(out, queue.storage + pos, before_end);
    copy_bytes(out + before_end, queue.storage, count - before_end);
}

// Moves the reader past the oldest record, whose length field is given, and
// returns the record's size in the ring. Runs with ring_lock held.
std::uint64_t pass_oldest(SensorQueue& queue, const LengthField& field) {
    const std::uint64_t record = std::uint64_t{field_size} + field.length;
    const std::uint64_t end = queue.read_pos + record;
    if (end < queue.capacity) {
        queue.read_pos = static_cast<std::uint32_t>(end);
    } else {
        queue.read_pos = static_cast<std::uint32_t>(end - queue.capacity);
        queue.wrapped = false;
    }
    return record;
}

// Discards the oldest record (the ring must hold one) and returns its size in
// the ring. Runs with ring_lock held.
std::uint64_t drop_oldest(SensorQueue& queue) { return pass_oldest(queue, read_field(queue, queue.read_pos)); }

// A record longer than the ring could never be stored whole (and, for a ring
// under 4 bytes, its length field could not even be read back), and pop
// reports lengths as int; such messages are refused before anything changes.
void check_fits(const SensorQueue& queue, std::uint32_t length) {
    constexpr auto largest = static_cast<std::uint32_t>(std::numeric_limits<int>::max());
    const bool too_long = length > queue.capacity;
    if (!too_long && queue.capacity - length >= field_size && length <= largest) return;
    if (queue.counters != nullptr) queue.counters->refused.add();
    std::string text = "string length " + std::to_string(length);
    if (too_long) {
        text += "  is larger than the size of the queue " + std::to_string(queue.capacity);
    } else if (queue.capacity - length < field_size) {
        text += " plus its 4-byte length field is larger than the size of the queue " + std::to_string(queue.capacity);
    } else {
        text += " is larger than the largest message the queue can return (" + std::to_string(largest) + ")";
    }
    throw SensorError(text.c_str());
}

// A failed creation undoes the whole create, so the caller owns nothing. The
// error is read first: the undoing makes calls of its own.
void require_made(SensorQueue& queue, bool made, const char* call) {
    if (made) return;
    const std::int32_t code = queue_sync_api().last_error();
    destroy(queue);
    kr::error::throw_failure<SensorError>(call, code);
}

}  // namespace

const QueueSyncApi& queue_sync_platform_api() {
    static const QueueSyncApi api{kr::thread::mutex_create, kr::thread::event_create, kr::thread::last_error};
    return api;
}

QueueSyncApi& queue_sync_api() {
    static QueueSyncApi api = queue_sync_platform_api();
    return api;
}

void create(SensorQueue& queue, std::uint32_t size) {
    queue = SensorQueue{};
    void* block = kr::thread::mem_malloc(size);
    // malloc(0) may legitimately give null; an empty ring never touches storage.
    if (block == nullptr && size != 0) {
        const int code = errno;
        kr::error::throw_crt_failure<SensorError>("malloc(" + std::to_string(size) + ")", code);
    }
    queue.storage = static_cast<std::uint8_t*>(block);
    if (size != 0) std::memset(queue.storage, 0, size);
    queue.capacity = size;

    const QueueSyncApi& api = queue_sync_api();
    const bool ring_lock_made = api.mutex_create(&queue.ring_lock, nullptr) == 0 && queue.ring_lock != nullptr;
    require_made(queue, ring_lock_made, "mutex_create(ring_lock)");
    const bool wait_lock_made = api.mutex_create(&queue.wait_lock, nullptr) == 0 && queue.wait_lock != nullptr;
    require_made(queue, wait_lock_made, "mutex_create(wait_lock)");
    const bool data_ready_made = api.event_create(&queue.data_ready, nullptr) == 0 && queue.data_ready != nullptr;
    require_made(queue, data_ready_made, "event_create(data_ready)");
}

namespace {

// Counts records just stored, and the oldest ones dropped for them, with
// ring_lock held.
void count_stored(SensorQueue& queue, std::uint64_t stored, std::uint64_t dropped, std::uint64_t dropped_bytes) {
    QueueCounters* const counters = queue.counters;
    if (counters == nullptr) return;
    counters->queued.add(stored);
    if (dropped != 0) {
        counters->dropped.add(dropped);
        counters->dropped_bytes.add(dropped_bytes);
    }
    counters->in_queue.add(stored - dropped);
    const std::uint64_t used = used_bytes(queue);
    counters->bytes.set(used);
    if (used > counters->peak_bytes.get()) counters->peak_bytes.set(used);
}

// Stores one record whose length field is already checked, with ring_lock
// held. Copies in blocks but discards exactly what storing byte by byte
// would: a record goes when the writer, with the ring full, reaches its first
// byte. That is the fewest oldest records whose space, added to the free
// space, holds the new record, so they are dropped up front and nothing is
// dropped afterwards.
void store_locked(SensorQueue& queue, const std::uint8_t* field, const std::uint8_t* data, std::uint32_t length) {
    const std::uint64_t needed = std::uint64_t{field_size} + length;
    std::uint64_t free = queue.capacity - used_bytes(queue);
    std::uint64_t dropped = 0;
    const std::uint64_t free_before = free;
    while (free < needed) {
        free += drop_oldest(queue);
        ++dropped;
    }
    const std::uint32_t message_pos = put(queue, queue.write_pos, field, field_size);
    queue.write_pos = put(queue, message_pos, data, length);
    // The ring is not empty now, so the writer is behind (or on) the reader
    // exactly when it has passed the end and the reader has not.
    queue.wrapped = queue.write_pos <= queue.read_pos;
    count_stored(queue, 1, dropped, free - free_before);
}

void put_field(std::uint8_t* field, std::uint32_t length) {
    field[0] = static_cast<std::uint8_t>(length >> 24);
    field[1] = static_cast<std::uint8_t>(length >> 16);
    field[2] = static_cast<std::uint8_t>(length >> 8);
    field[3] = static_cast<std::uint8_t>(length);
}

std::uint32_t field_value(const std::uint8_t* field) {
    return (std::uint32_t{field[0]} << 24) | (std::uint32_t{field[1]} << 16) | (std::uint32_t{field[2]} << 8) |
           std::uint32_t{field[3]};
}

}  // namespace

int push(SensorQueue& queue, const std::uint8_t* data, std::uint32_t length) {
    check_fits(queue, length);
    std::uint8_t field[field_size];
    put_field(field, length);
    kr::thread::mutex_lock(&queue.ring_lock);
    store_locked(queue, field, data, length);
    kr::thread::mutex_unlock(&queue.ring_lock);
    return kr::thread::event_signal(&queue.data_ready);
}

int pop(SensorQueue& queue, std::uint8_t* out, std::uint32_t out_size) {
    kr::thread::mutex_lock(&queue.ring_lock);
    if (!queue.wrapped && queue.read_pos >= queue.write_pos) {
        kr::thread::mutex_unlock(&queue.ring_lock);
        return 0;
    }
    const LengthField field = read_field(queue, queue.read_pos);
    if (field.length > out_size) {
        kr::thread::mutex_unlock(&queue.ring_lock);
        return -1;
    }
    const std::uint64_t end = std::uint64_t{field.start} + field.length;
    if (end < queue.capacity) {
        copy_bytes(out, queue.storage + field.start, field.length);
        queue.read_pos = static_cast<std::uint32_t>(end);
        if (field.wrapped) queue.wrapped = false;
    } else {
        const std::uint32_t first = queue.capacity - field.start;
        copy_bytes(out, queue.storage + field.start, first);
        copy_bytes(out + first, queue.storage, field.length - first);
        queue.read_pos = static_cast<std::uint32_t>(end - queue.capacity);
        queue.wrapped = false;
    }
    if (QueueCounters* const counters = queue.counters) {
        counters->in_queue.subtract(1);
        counters->bytes.set(used_bytes(queue));
    }
    kr::thread::mutex_unlock(&queue.ring_lock);
    return static_cast<int>(field.length);
}

// Stored records already lie back to back exactly as they go on the wire, so
// each run of consecutive non-empty records is copied in at most two blocks.
int pop_batch(SensorQueue& queue, std::uint8_t* out, std::uint32_t out_size, std::uint32_t limit,
              std::uint32_t* records) {
    const std::uint64_t room = std::min<std::uint64_t>(out_size, std::numeric_limits<int>::max());
    const std::uint64_t batch_limit = std::min<std::uint64_t>(room, limit);
    std::uint64_t written = 0, run_bytes = 0;
    std::uint32_t run_start = 0, taken = 0, removed = 0;  // removed: zero-length records too
    bool too_long = false;
    kr::thread::mutex_lock(&queue.ring_lock);
    for (std::uint64_t stored = used_bytes(queue); stored > 0;) {
        const LengthField field = read_field(queue, queue.read_pos);
        const std::uint64_t record = std::uint64_t{field_size} + field.length;
        const std::uint64_t in_batch = written + run_bytes;
        if (field.length != 0) {
            if (in_batch + record > (in_batch == 0 ? room : batch_limit)) {
                too_long = in_batch == 0;
                break;
            }
            if (run_bytes == 0) run_start = queue.read_pos;
            run_bytes += record;
            ++taken;
        } else if (run_bytes != 0) {
            take(queue, run_start, out + written, run_bytes);
            written += run_bytes;
            run_bytes = 0;
        }
        stored -= pass_oldest(queue, field);
        ++removed;
    }
    if (run_bytes != 0) take(queue, run_start, out + written, run_bytes);
    written += run_bytes;
    if (QueueCounters* const counters = queue.counters) {
        counters->in_queue.subtract(removed);
        counters->bytes.set(used_bytes(queue));
    }
    kr::thread::mutex_unlock(&queue.ring_lock);
    if (records) *records = taken;
    return too_long ? -1 : static_cast<int>(written);
}

void wait_for_data(SensorQueue& queue) {
    kr::thread::mutex_lock(&queue.wait_lock);
    kr::thread::event_wait(&queue.data_ready, &queue.wait_lock);
    kr::thread::mutex_unlock(&queue.wait_lock);
}

void destroy(SensorQueue& queue) {
    if (queue.storage != nullptr) {
        kr::thread::mem_free(queue.storage);
        queue.storage = nullptr;
    }
    // Closed handles are nulled so that a later use fails instead of touching freed objects.
    for (void** handle : {&queue.ring_lock, &queue.wait_lock, &queue.data_ready}) {
        if (*handle != nullptr) kr::thread::handle_close(handle);
        *handle = nullptr;
    }
}

int queue_message(const std::uint8_t* data, std::uint32_t length, void* context) {
    try {
        return push(*static_cast<SensorQueue*>(context), data, length);
    } catch (const SensorError& e) {
        kr::log::log_print("ERROR - Process ETW event failed: %s", e.what());
        return -1;
    }
}

void create(QueueBatch& batch, SensorQueue* queue, std::uint32_t size) {
    batch = QueueBatch{};
    batch.queue = queue;
    batch.data = static_cast<std::uint8_t*>(kr::thread::mem_malloc(size == 0 ? 1 : size));
    if (batch.data == nullptr) {
        const int code = errno;
        kr::error::throw_crt_failure<SensorError>("malloc(" + std::to_string(size) + ")", code);
    }
    batch.capacity = size;
}

void destroy(QueueBatch& batch) {
    kr::thread::mem_free(batch.data);
    batch = QueueBatch{};
}

int batch_push(QueueBatch& batch, const std::uint8_t* data, std::uint32_t length) {
    SensorQueue& queue = *batch.queue;
    check_fits(queue, length);
    const std::uint64_t record = std::uint64_t{field_size} + length;
    if (batch.capacity - batch.used < record) flush(batch);
    // Larger than the whole gathering buffer: stored on its own, in its turn.
    if (batch.capacity < record) return push(queue, data, length);
    std::uint8_t* at = batch.data + batch.used;
    put_field(at, length);
    if (length != 0) std::memcpy(at + field_size, data, length);
    batch.used += static_cast<std::uint32_t>(record);
    ++batch.records;
    return 0;
}

int flush(QueueBatch& batch) {
    if (batch.used == 0) return 0;
    SensorQueue& queue = *batch.queue;
    kr::thread::mutex_lock(&queue.ring_lock);
    if (batch.used <= queue.capacity - used_bytes(queue)) {
        // Room for them all: nothing is dropped, and the records go in as one
        // block, as they lie in the batch.
        queue.write_pos = put(queue, queue.write_pos, batch.data, batch.used);
        queue.wrapped = queue.write_pos <= queue.read_pos;
        count_stored(queue, batch.records, 0, 0);
    } else {
        for (std::uint32_t at = 0; at < batch.used;) {
            const std::uint32_t length = field_value(batch.data + at);
            store_locked(queue, batch.data + at, batch.data + at + field_size, length);
            at += field_size + length;
        }
    }
    kr::thread::mutex_unlock(&queue.ring_lock);
    batch.used = 0;
    batch.records = 0;
    return kr::thread::event_signal(&queue.data_ready);
}

int batch_message(const std::uint8_t* data, std::uint32_t length, void* context) {
    try {
        return batch_push(*static_cast<QueueBatch*>(context), data, length);
    } catch (const SensorError& e) {
        kr::log::log_print("ERROR - Process ETW event failed: %s", e.what());
        return -1;
    }
}

void flush_batch(void* context) { flush(*static_cast<QueueBatch*>(context)); }

}  // namespace kr::forward
