#include "forward/sensor_queue_processor.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <exception>
#include <string>

#include "error/error.h"
#include "log/log.h"
#include "thread/crt.h"

namespace kr::forward {
using kr::sensor::SensorError;
using kr::transport::NetApi;
using kr::transport::SocketAddress;
using kr::transport::TimeLimit;
using kr::transport::kAfInet;
using kr::transport::kFionbio;
using kr::transport::kInvalidSocket;
using kr::transport::kIpProtoTcp;
using kr::transport::kShutdownBoth;
using kr::transport::kSockStream;
using kr::transport::kSocketError;
using kr::transport::kWouldBlock;
using kr::transport::make_tls_channel;
using kr::transport::net_api;
using kr::transport::tls_description;

namespace {

constexpr char kVersion[] = "3.6.8";
constexpr std::uint8_t kHelloFormat = 1;
static_assert(4 + 1 + sizeof kVersion - 1 == kHelloSize, "hello: length field, format byte, version text");

// The error is read before anything else runs: building the message
// allocates, and an allocation may change the thread's last error.
[[noreturn]] void throw_socket_failure(const char* call) {
    const int code = net_api().last_error();
    kr::error::throw_failure<SensorError>(call, code);
}

// The same for a C runtime allocation that failed with errno set.
[[noreturn]] void throw_allocation_failure(const char* function, std::int64_t size) {
    const int code = errno;
    kr::error::throw_crt_failure<SensorError>(std::string(function) + "(" + std::to_string(size) + ")", code);
}

std::uint8_t* make_hello() {
    auto* hello = static_cast<std::uint8_t*>(kr::thread::mem_malloc(kHelloSize));
    if (!hello) throw_allocation_failure("malloc", kHelloSize);
    const std::uint32_t length = kHelloSize - 4;
    hello[0] = 0;
    hello[1] = 0;
    hello[2] = 0;
    hello[3] = static_cast<std::uint8_t>(length);
    hello[4] = kHelloFormat;
    std::memcpy(hello + 5, kVersion, sizeof kVersion - 1);
    return hello;
}

void put_length(std::uint8_t* out, std::int32_t length) {
    const auto n = static_cast<std::uint32_t>(length);
    out[0] = static_cast<std::uint8_t>(n >> 24);
    out[1] = static_cast<std::uint8_t>(n >> 16);
    out[2] = static_cast<std::uint8_t>(n >> 8);
    out[3] = static_cast<std::uint8_t>(n);
}

// State of the sender thread that outlives one connection.
struct SenderState {
    std::int32_t last_length = 0;  // last take: bytes in hand, > 0 while a message or batch is in hand
    std::uint32_t records = 0;     // records in hand
    bool resend_pending = false;
};

// The next message into the buffer, or with batches the next whole records
// laid out as on the wire: the bytes taken, 0 when none waited, -1 when the
// oldest does not fit the buffer.
std::int32_t take_next(SensorQueueProcessor& p, SenderState& state) {
    const auto size = static_cast<std::uint32_t>(p.buffer_size);
    if (p.send_batch != 0) return pop_batch(*p.queue, p.buffer, size, p.send_batch, &state.records);
    state.records = 1;
    return pop(*p.queue, p.buffer, size);
}

void send_in_hand(const SensorQueueProcessor& p, TargetConnection& connection, const SenderState& state) {
    const auto bytes = static_cast<std::size_t>(state.last_length);
    if (p.send_batch != 0) {
        connection.send_all(p.buffer, bytes);
        return;
    }
    std::uint8_t length[4];
    put_length(length, state.last_length);
    connection.send_all(length, sizeof length);
    connection.send_all(p.buffer, bytes);
}

// Hello, then records until stop (returns) or a failure (throws).
void transfer(SensorQueueProcessor& p, TargetConnection& connection, const std::uint8_t* hello,
              SenderState& state) {
    connection.send_all(hello, kHelloSize);
    for (;;) {
        if (p.stop_requested) return;
        const bool resending = state.resend_pending;
        if (state.resend_pending) {
            state.resend_pending = false;
        } else {
            state.last_length = take_next(p, state);
        }
        if (state.last_length > 0) {
            send_in_hand(p, connection, state);
            if (SenderCounters* const c = p.counters) {
                // Every record in hand went out whole; a batch carries its length fields.
                c->sent.add(state.records);
                c->sent_bytes.add(static_cast<std::uint64_t>(state.last_length) + (p.send_batch != 0 ? 0 : 4));
                if (resending) {
                    c->resent.add(state.records);
                    c->in_hand.set(0);
                }
            }
        } else if (state.last_length < 0) {
            grow_buffer(p);
        } else {
            wait_for_data(*p.queue);
        }
    }
}

// Grows the buffer towards the batch size, but not past the ring: no batch
// holds more than the ring. The batch size is an upper bound, not a need:
// when memory is short, batches stay within the buffer there is.
void reserve_batch_buffer(SensorQueueProcessor& p) {
    kr::log::log_print("Sending batches of up to %u bytes", p.send_batch);
    const std::uint32_t wanted = std::min(p.send_batch, p.queue->capacity);
    try {
        while (static_cast<std::uint32_t>(p.buffer_size) < wanted) grow_buffer(p);
    } catch (const std::exception& e) {
        kr::log::log_print("ERROR - Send batches limited to %d bytes: %s", p.buffer_size, e.what());
    }
}

// One round over the targets, first to last. True when stop was seen: the
// sender then ends. False after a failed round or a broken connection.
bool connect_round(SensorQueueProcessor& p, TargetConnection& connection, const std::uint8_t* hello,
                   SenderState& state) {
    SenderCounters* const counters = p.counters;
    for (std::size_t i = 0; i < p.targets->size(); ++i) {
        const kr::config::Target& target = (*p.targets)[i];
        if (p.stop_requested) return true;
        const char* ip = target.ip.c_str();
        const int port = target.port;
        kr::log::log_print("Connecting to %s:%d", ip, port);
        try {
            connection.connect_to(target.ip, target.port, target.timeout);
        } catch (const std::exception& e) {
            if (counters != nullptr && i < counters->connect_failed.size()) counters->connect_failed[i].add();
            kr::log::log_print("ERROR - Connect to %s:%d failed: %s", ip, port, e.what());
            continue;
        }
        if (counters != nullptr) counters->connects.add();
        kr::log::log_print("Connected to %s:%d", ip, port);
        try {
            transfer(p, connection, hello, state);
            connection.finish();
            return true;
        } catch (const std::exception& e) {
            if (counters != nullptr) counters->breaks.add();
            kr::log::log_print("ERROR - Send data to %s:%d failed: %s", ip, port, e.what());
            // The message or batch in hand goes out again, whole, on the next connection.
            if (state.last_length > 0) {
                state.resend_pending = true;
                if (counters != nullptr) counters->in_hand.set(state.records);
            }
            return false;
        }
    }
    return false;
}

}  // namespace

void init(SensorQueueProcessor& processor, SensorQueue* queue, const std::vector<kr::config::Target>* targets) {
    processor.thread = nullptr;
    processor.stop_requested = false;
    processor.queue = queue;
    processor.targets = targets;
    processor.buffer = nullptr;
    processor.buffer_size = 0;
    processor.pause_step_ms = kPauseStepMs;
    processor.send_batch = 0;
    processor.counters = nullptr;
    processor.tls = nullptr;
}

void start(SensorQueueProcessor& processor) {
    if (processor.thread) return;
    processor.stop_requested = false;
    int code = kr::thread::thread_create(&processor.thread, nullptr, run_sender, &processor);
    if (code != 0) {
        processor.thread = nullptr;
        kr::error::throw_failure<SensorError>("pthread_create()", code);
    }
}

void stop(SensorQueueProcessor& processor) {
    if (!processor.thread) return;
    // The flag is set before the signal so that a sender woken by it sees it.
    processor.stop_requested = true;
    kr::thread::event_signal(&processor.queue->data_ready);
    kr::thread::thread_join(processor.thread, nullptr);
    processor.thread = nullptr;
}

void release(SensorQueueProcessor& processor) {
    if (processor.buffer) kr::thread::mem_free(processor.buffer);
    processor.buffer = nullptr;
    processor.buffer_size = 0;
}

void grow_buffer(SensorQueueProcessor& processor) {
    if (processor.buffer_size <= 0) {
        void* block = kr::thread::mem_malloc(kFirstBufferSize);
        if (!block) throw_allocation_failure("malloc", kFirstBufferSize);
        processor.buffer = static_cast<std::uint8_t*>(block);
        processor.buffer_size = kFirstBufferSize;
        return;
    }
    const std::int64_t size = 2 * static_cast<std::int64_t>(processor.buffer_size);
    // The size is kept as a signed 32-bit number: a doubling past its range
    // is refused as the runtime refuses a block it cannot give.
    if (size > INT32_MAX) errno = ENOMEM;
    void* block = size > INT32_MAX ? nullptr : kr::thread::mem_realloc(processor.buffer, static_cast<std::size_t>(size));
    if (!block) throw_allocation_failure("realloc", size);
    processor.buffer = static_cast<std::uint8_t*>(block);
    processor.buffer_size = static_cast<std::int32_t>(size);
}

std::uint32_t run_sender(void* argument) {
    auto& p = *static_cast<SensorQueueProcessor*>(argument);
    std::uint8_t* hello = nullptr;
    try {
        hello = make_hello();
        grow_buffer(p);
    } catch (const std::exception& e) {
        // Without these the thread cannot send anything; the agent runs on
        // and a stop still finds a thread to join.
        kr::thread::mem_free(hello);
        kr::log::log_print("ERROR - Sensor queue processor failed: %s", e.what());
        return 0;
    }
    if (p.send_batch != 0) reserve_batch_buffer(p);
    SenderState state;
    TargetConnection connection;
    if (p.tls != nullptr) {
        kr::log::log_print("Connecting with TLS: %s", tls_description(p.tls->settings()).c_str());
        connection.set_tls(p.tls);
    }
    while (!p.stop_requested) {
        if (connect_round(p, connection, hello, state)) break;
        const auto paused = std::chrono::steady_clock::now();
        for (std::uint32_t i = 0; i < kPauseSteps && !p.stop_requested; ++i) kr::thread::sleep_ms(p.pause_step_ms);
        if (p.counters != nullptr) {
            p.counters->paused_ms.add(static_cast<std::uint64_t>(
                std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - paused)
                    .count()));
        }
    }
    kr::thread::mem_free(hello);
    connection.close();
    return 0;
}

void TargetConnection::connect_to(const std::string& ip, std::uint16_t port, std::uint32_t timeout) {
    close();
    ip_ = ip;
    port_ = port;
    timeout_ = timeout;
    const bool tls = tls_ != nullptr;
    if (tls) {
        connecting_ = true;
        deadline_ = std::chrono::steady_clock::now() + std::chrono::seconds(timeout);
    }
    const NetApi& net = net_api();
    socket_ = net.socket(kAfInet, kSockStream, kIpProtoTcp);
    if (socket_ == kInvalidSocket) throw_socket_failure("socket()");
    std::uint32_t non_blocking = 1;
    if (net.ioctlsocket(socket_, kFionbio, &non_blocking) == kSocketError) throw_socket_failure("ioctlsocket(FIONBIO)");
    SocketAddress address;
    address.family = static_cast<std::uint16_t>(kAfInet);
    address.port = net.htons(port_);
    address.address = net.inet_addr(ip_.c_str());
    if (net.connect(socket_, &address, sizeof address) == kSocketError) {
        const int code = net.last_error();
        if (code != kWouldBlock) kr::error::throw_failure<SensorError>("connect(" + ip_ + ")", code);
    }
    wait_writable();
    if (!tls) return;
    // The certificate must name the address connected to, as the socket
    // layer read the text ("0177.0.0.1" is 127.0.0.1), not as it is written.
    unsigned char dialled[4];
    std::memcpy(dialled, &address.address, sizeof dialled);
    const std::string connected_to = std::to_string(dialled[0]) + "." + std::to_string(dialled[1]) + "." +
                                     std::to_string(dialled[2]) + "." + std::to_string(dialled[3]);
    channel_ = make_tls_channel(*tls_, connected_to, *this);
    channel_->handshake();
    connecting_ = false;
}

TimeLimit TargetConnection::limit() const {
    TimeLimit limit;
    if (!connecting_) {
        // The time limit is a 32-bit timeval: longer time-outs wait as long as
        // it can hold (about 68 years) instead of being refused as negative.
        limit.seconds = timeout_ > INT32_MAX ? INT32_MAX : static_cast<std::int32_t>(timeout_);
        return limit;
    }
    using std::chrono::microseconds;
    const auto left = std::chrono::duration_cast<microseconds>(deadline_ - std::chrono::steady_clock::now());
    const std::int64_t us = std::max<std::int64_t>(left.count(), 0);
    limit.seconds = static_cast<std::int32_t>(std::min<std::int64_t>(us / 1000000, INT32_MAX));
    limit.microseconds = static_cast<std::int32_t>(us % 1000000);
    return limit;
}

void TargetConnection::wait_writable() {
    const TimeLimit limit = this->limit();
    const int ready = net_api().select_write(1, socket_, &limit);
    if (ready == kSocketError) throw_socket_failure("select()");
    if (ready == 0) throw SensorError("select() timed out");
}

void TargetConnection::send_all(const std::uint8_t* data, std::size_t length) {
    if (channel_) {
        if (length > 0) channel_->send(data, length);
        return;
    }
    send_raw(data, length);
}

void TargetConnection::send_raw(const std::uint8_t* data, std::size_t length) {
    std::size_t sent = 0;
    while (sent < length) {
        wait_writable();
        const std::size_t left = length - sent;
        const int chunk = left > INT_MAX ? INT_MAX : static_cast<int>(left);
        const int n = net_api().send(socket_, reinterpret_cast<const char*>(data + sent), chunk, 0);
        if (n < 0) throw_socket_failure("send()");
        if (n == 0) throw SensorError("send() failed: socket closed");
        sent += static_cast<std::size_t>(n);
    }
}

std::size_t TargetConnection::receive_raw(std::uint8_t* out, std::size_t size) {
    const TimeLimit limit = this->limit();
    const int ready = net_api().select_read(1, socket_, &limit);
    if (ready == kSocketError) throw_socket_failure("select()");
    if (ready == 0) throw SensorError("select() timed out");
    const int chunk = size > INT_MAX ? INT_MAX : static_cast<int>(size);
    const int n = net_api().recv(socket_, reinterpret_cast<char*>(out), chunk, 0);
    if (n < 0) throw_socket_failure("recv()");
    if (n == 0) throw SensorError("recv() failed: connection closed by the peer");
    return static_cast<std::size_t>(n);
}

bool TargetConnection::expired() const {
    return connecting_ && std::chrono::steady_clock::now() >= deadline_;
}

void TargetConnection::finish() {
    if (channel_ && !connecting_) channel_->close_notify();
    close();
}

void TargetConnection::close() {
    channel_.reset();
    connecting_ = false;
    if (socket_ == kInvalidSocket) return;
    net_api().shutdown(socket_, kShutdownBoth);
    net_api().closesocket(socket_);
    socket_ = kInvalidSocket;
}

}  // namespace kr::forward
