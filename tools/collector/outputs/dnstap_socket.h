#pragma once
// dnstap to a receiver over the bidirectional Frame Streams protocol, on a
// Unix socket ("unix:PATH") or over TCP ("tcp:ADDR:PORT"). The server loop
// only appends frames to a bounded queue; a sender thread of its own
// connects, reconnects every second while the receiver is absent, and
// writes. A slow, stalled or absent receiver therefore costs frames, counted
// as dropped, and at most a short wait of the loop (see wait_for_room): the
// loop waits for room only while the receiver is connected and taking frames.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kr::collector {

class DnstapSocket {
public:
    struct Counters {
        std::uint64_t sent = 0;      // frames the receiver's socket took
        std::uint64_t dropped = 0;   // frames lost: queue full, connection broken, or still queued at exit
        std::uint64_t connects = 0;  // connections made (handshake done)
    };

    // `log` receives the connection notes.
    DnstapSocket(std::string target, std::uint64_t queue_bytes, std::FILE* log);
    ~DnstapSocket();
    DnstapSocket(const DnstapSocket&) = delete;
    DnstapSocket& operator=(const DnstapSocket&) = delete;

    // Checks the target and starts the sender thread, which connects at once.
    // False with the reason for a target that cannot be used.
    bool start(std::string& error);
    // From the server loop: one frame, handed to the sender by flush() (or
    // at once when a batch of a quarter of the queue has collected). A full
    // queue makes flush wait a while for room: see wait_for_room.
    void add(const std::vector<std::uint8_t>& frame);
    void flush();
    // Delivers what waits for up to a few seconds, then closes the
    // connection with its STOP frame and ends the thread.
    void stop();

    Counters counters() const;
    const std::string& target() const { return target_; }

private:
    struct Batch {
        std::string data;                  // the frames back to back
        std::vector<std::uint32_t> sizes;  // their sizes
    };
    struct Link;

    void run();
    void write(Link& link, Batch& batch);

    // Server loop: waits a while for the sender to make room; false when it
    // may not (no receiver, or one that takes nothing, or no credit left).
    bool wait_for_room(std::unique_lock<std::mutex>& lock);

    const std::string target_;
    const std::uint64_t queue_bytes_;
    const std::size_t hand_over_bytes_;  // a pending batch this large goes at once
    std::FILE* log_;
    Batch pending_;  // server loop only
    std::int64_t credit_us_ = 1000 * 1000;  // server loop only: how long it may still wait for room
    std::int64_t credit_at_us_;            // and since when that holds (steady clock)

    mutable std::mutex mutex_;
    std::condition_variable wake_;  // the sender: frames to write, or stop
    std::condition_variable room_;  // the loop: the sender took a batch
    std::deque<Batch> queue_;
    std::uint64_t queued_bytes_ = 0;
    bool stopping_ = false;
    bool connected_ = false;
    Counters counters_;
    std::atomic<std::int64_t> abort_at_ms_;  // I/O gives up from then on (steady clock)
    std::atomic<std::int64_t> blocked_since_ms_{0};  // the receiver's socket is full since; 0: it is not
    std::string address_;                    // the parsed target
    std::uint16_t port_ = 0;
    bool unix_ = false;
    std::thread thread_;
};

}  // namespace kr::collector
