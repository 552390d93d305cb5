#pragma once
// The TCP forwarder: one sender thread that drains the sensor queue into one
// TCP connection to the first target that accepts, as 4-byte big-endian
// length-prefixed records after a hello record. A broken connection is
// followed by a pause and a new round from the first target; the message
// that was being sent then goes out again, whole.
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "config/config.h"
#include "forward/sensor_queue.h"
#include "log/counter.h"
#include "thread/thread.h"
#include "transport/net_api.h"
#include "transport/tls_channel.h"

namespace kr::forward {

// Sent first on every connection: length 6, format byte 1, version "3.6.8".
constexpr std::size_t kHelloSize = 10;
constexpr std::int32_t kFirstBufferSize = 4096;
constexpr std::uint32_t kPauseSteps = 10;
constexpr std::uint32_t kPauseStepMs = 1000;

// Counted by the sender thread, read from any thread. A record is counted as
// sent once its last byte was handed to the socket; bytes include the 4-byte
// length fields, never the hello.
struct SenderCounters {
    explicit SenderCounters(std::size_t targets) : connect_failed(targets) {}
    kr::log::Counter sent;
    kr::log::Counter sent_bytes;
    kr::log::Counter resent;      // of the sent records, those sent again after a broken connection
    kr::log::Counter connects;    // connections made
    kr::log::Counter breaks;      // connections that failed after they were made
    kr::log::Counter paused_ms;   // time spent in pauses
    // Records taken from the ring and held for a resend after a broken
    // connection (a whole batch with send-batch); 0 once they went out.
    kr::log::Counter in_hand;
    std::vector<kr::log::Counter> connect_failed;  // per target, in configuration order
};

struct SensorQueueProcessor {
    kr::thread::ThreadHandle thread = nullptr;
    std::atomic<bool> stop_requested{false};
    SensorQueue* queue = nullptr;                         // not owned
    const std::vector<kr::config::Target>* targets = nullptr;  // not owned
    std::uint8_t* buffer = nullptr;                       // owned (C runtime)
    std::int32_t buffer_size = 0;
    // Length of one of the pause's sleeps; tests shorten it.
    std::uint32_t pause_step_ms = kPauseStepMs;
    // 0: one record per step, length field and message sent apart. Otherwise
    // each step sends up to this many bytes of whole records in one go (at
    // least one record); the bytes on the wire are the same. Set before start.
    std::uint32_t send_batch = 0;
    // Null counts nothing. init clears it: set it afterwards.
    SenderCounters* counters = nullptr;
    // Null: plain TCP; else every connection is a session of this context.
    // Not owned; init clears it: set it afterwards.
    const kr::transport::TlsContext* tls = nullptr;
};

// Resets the processor to "no thread, no buffer, no batches" over the given
// queue and targets.
void init(SensorQueueProcessor& processor, SensorQueue* queue, const std::vector<kr::config::Target>* targets);
// Starts the sender thread unless one runs. Throws SensorError
// ("pthread_create() failed: ...") when the thread cannot be made.
void start(SensorQueueProcessor& processor);
// Asks the sender to stop, wakes it if it waits for data and joins it. A
// connection attempt or a send under way is finished first (each at most
// one target time-out). Does nothing when no thread runs.
void stop(SensorQueueProcessor& processor);
// Frees the buffer. Only while no sender thread runs.
void release(SensorQueueProcessor& processor);
// First call: a 4096-byte buffer; later calls double it. Throws SensorError
// ("malloc(N) failed: ..." / "realloc(N) failed: ...") and keeps the old
// buffer when it cannot; a size past 2147483647 is such a failure.
void grow_buffer(SensorQueueProcessor& processor);
// The sender thread's body; the argument is the processor. Returns 0.
std::uint32_t run_sender(void* processor);

// One connection to one target, owned by the sender thread. Every failure
// throws SensorError with the failed call's text. The socket is closed on
// destruction.
class TargetConnection : private transport::TlsTransport {
public:
    TargetConnection() = default;
    ~TargetConnection() override { close(); }
    TargetConnection(const TargetConnection&) = delete;
    TargetConnection& operator=(const TargetConnection&) = delete;

    // Null (the default): plain TCP. Not owned.
    void set_tls(const kr::transport::TlsContext* tls) { tls_ = tls; }
    // Closes the previous socket, then connects without blocking and waits
    // at most timeout seconds for the socket to become writable. With TLS
    // the handshake follows, and the whole connect, handshake included,
    // takes at most timeout seconds. A socket made by a failed attempt stays
    // until the next call or close.
    void connect_to(const std::string& ip, std::uint16_t port, std::uint32_t timeout);
    // One select for writability, bounded by the time-out.
    void wait_writable();
    // Sends every byte (through the TLS session, if there is one), each send
    // preceded by wait_writable. 0 bytes: no call at all.
    void send_all(const std::uint8_t* data, std::size_t length);
    // Ends a TLS session in order (close_notify, one attempt); then close.
    void finish();
    // Shuts the socket down (both directions) and closes it, if there is one.
    void close();

    const std::string& ip() const { return ip_; }
    transport::Socket socket() const { return socket_; }

private:
    void send_raw(const std::uint8_t* data, std::size_t length) override;
    std::size_t receive_raw(std::uint8_t* out, std::size_t size) override;
    bool expired() const override;
    // The select limit: the time-out, or while connecting with TLS what is
    // left of it.
    transport::TimeLimit limit() const;

    std::string ip_;
    std::uint16_t port_ = 0;
    std::uint32_t timeout_ = 0;
    transport::Socket socket_ = transport::kInvalidSocket;
    const kr::transport::TlsContext* tls_ = nullptr;
    std::unique_ptr<transport::TlsChannel> channel_;
    bool connecting_ = false;
    std::chrono::steady_clock::time_point deadline_;
};

}  // namespace kr::forward
