#pragma once
// The sensor queue: a fixed-size byte ring of length-prefixed records
// (4-byte big-endian length + message). push never waits for the consumer: a
// full ring discards its oldest records, each whole. One producer thread
// (the trace session) and one consumer thread (the sender).
#include <cstdint>

#include "log/counter.h"
#include "thread/thread.h"

namespace kr::forward {

// Counted by push and pop with ring_lock held (refused before it is taken);
// read from any thread. Bytes are ring bytes: each message plus its 4-byte
// length field.
struct QueueCounters {
    kr::log::Counter queued;         // messages stored
    kr::log::Counter refused;        // messages refused: their record does not fit the ring
    kr::log::Counter dropped;        // messages discarded as the oldest to make room
    kr::log::Counter dropped_bytes;
    kr::log::Counter in_queue;       // messages waiting now
    kr::log::Counter bytes;          // ring bytes in use now
    kr::log::Counter peak_bytes;     // the most ring bytes ever in use
};

struct SensorQueue {
    std::uint8_t* storage = nullptr;
    std::uint32_t capacity = 0;
    std::uint32_t read_pos = 0;
    std::uint32_t write_pos = 0;
    bool wrapped = false;
    kr::thread::Mutex ring_lock = nullptr;
    kr::thread::Mutex wait_lock = nullptr;
    kr::thread::Event data_ready = nullptr;
    // Null counts nothing. create clears it: set it afterwards.
    QueueCounters* counters = nullptr;
};

// Allocates and zero-fills the ring, creates the locks and the event.
// Throws SensorError when any of them cannot be made.
void create(SensorQueue& queue, std::uint32_t size);
// Stores a copy of the message, discarding the oldest records as needed.
// 0 when data_ready was signalled, -1 when the signal failed (the record is
// stored all the same). Throws SensorError for a message whose record (length
// + 4) does not fit the ring, or that is too long for pop's int result;
// nothing is stored or signalled then.
int push(SensorQueue& queue, const std::uint8_t* data, std::uint32_t length);
// Takes the oldest record out: its length, 0 when empty, -1 (and nothing
// taken) when it is longer than out_size.
int pop(SensorQueue& queue, std::uint8_t* out, std::uint32_t out_size);
// Takes the oldest records out under one lock, as many whole ones as fit in
// min(out_size, limit) bytes, and lays them out in out as they are stored
// (length field, message, length field, ...). The first record is taken
// however large, as long as it fits out_size. Records of empty messages are
// taken out but not copied. Returns the bytes written and, through records
// when given, how many records they hold: 0 when no message was waiting, -1
// (and nothing but empty records taken) when the oldest record is longer than
// out_size. Leaves the ring as the same number of pops would.
int pop_batch(SensorQueue& queue, std::uint8_t* out, std::uint32_t out_size, std::uint32_t limit,
              std::uint32_t* records = nullptr);
// Blocks until data_ready is signalled (a pending signal ends it at once).
void wait_for_data(SensorQueue& queue);
// Frees the ring and closes the locks and the event. Both threads must have stopped.
void destroy(SensorQueue& queue);
// The message callback that feeds the queue given as context. A message the
// ring can never hold costs only that event: the refusal is logged as a failed
// event ("ERROR - Process ETW event failed: ...") and -1 returned, so that the
// session goes on decoding.
int queue_message(const std::uint8_t* data, std::uint32_t length, void* context);

// The producer's side of a queue, for a producer that delivers in buffers:
// messages are gathered in a buffer of its own and stored in the ring under
// one lock, with one signal, when the producer's buffer ends (or the
// gathering buffer is full). The records, discards and counters are those of
// one push per message in the same order; the consumer is woken once per
// buffer instead of once per message. Producer thread only.
struct QueueBatch {
    SensorQueue* queue = nullptr;  // not owned
    std::uint8_t* data = nullptr;  // records as the ring stores them (C runtime)
    std::uint32_t used = 0;
    std::uint32_t records = 0;
    std::uint32_t capacity = 0;
};
// Allocates the gathering buffer; throws SensorError when it cannot.
void create(QueueBatch& batch, SensorQueue* queue, std::uint32_t size);
void destroy(QueueBatch& batch);
// Gathers a copy of the message; throws SensorError as push does for a
// message the ring can never hold. A message larger than the gathering buffer
// is pushed on its own after the gathered ones.
int batch_push(QueueBatch& batch, const std::uint8_t* data, std::uint32_t length);
// Stores what was gathered, under one lock, and signals data_ready once:
// push's result for the last record; 0 when nothing was gathered.
int flush(QueueBatch& batch);
// queue_message for a QueueBatch context, and flush as a buffer-end callback.
int batch_message(const std::uint8_t* data, std::uint32_t length, void* context);
void flush_batch(void* context);

// Test hook: the creations of the two locks and the event in create, so that
// a test can make any one of them fail, and the error read after a failure.
// Defaults to the thread layer's calls.
struct QueueSyncApi {
    int (*mutex_create)(kr::thread::Mutex* mutex, const void* attributes);
    int (*event_create)(kr::thread::Event* event, const void* attributes);
    std::int32_t (*last_error)();
};
QueueSyncApi& queue_sync_api();
const QueueSyncApi& queue_sync_platform_api();

}  // namespace kr::forward
