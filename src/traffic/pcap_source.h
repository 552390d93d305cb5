#pragma once
// The Linux build's event source: DNS traffic read with the packet capture
// library, live from an interface or replayed from a capture file, each DNS
// message becoming one DNS server event (see dns_packet.h for the rules).
// Linux only: its implementation is pcap_source_posix.cpp.
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "substitute/event_builder.h"
#include "substitute/event_source.h"
#include "traffic/dns_packet.h"

struct pcap;  // pcap_t of the capture library

namespace kr::traffic {

struct PcapHandles;

class PcapEventSource : public substitute::EventSource {
public:
    // capture: "file:PATH" (replayed once, then nothing more) or
    // "device:NAME" (live, "any" for every interface, filtered on the port,
    // with a kernel buffer of buffer_bytes).
    // Throws kr::error::UnknownError when its wake-up descriptor cannot be made.
    static constexpr std::uint32_t kDefaultBufferBytes = 64u << 20;
    // A smaller buffer is raised to this, with a line when the capture opens:
    // below it the ring holds a handful of 256 KiB blocks, some 40 ms of any
    // traffic at the blocks' 10 ms time-out.
    static constexpr std::uint32_t kMinimumBufferBytes = 1u << 20;
    PcapEventSource(std::string capture, std::uint16_t port, std::uint32_t buffer_bytes = kDefaultBufferBytes);
    ~PcapEventSource() override;
    PcapEventSource(const PcapEventSource&) = delete;
    PcapEventSource& operator=(const PcapEventSource&) = delete;

    // "device:lo, port 53, buffer 67108864 bytes, ..." or "file:PATH, port 53":
    // what open() logs once the capture is open.
    std::string settings() const;

    // Opens the capture (again from the start, if it was open). A failure is
    // an error code registered with the library's text, e.g.
    // "pcap_open_offline(x.pcap): x.pcap: No such file or directory".
    ULONG open() override;
    // The event of the next DNS message. Waits for packets at most wait_ms
    // (a file is read without waiting until its end). Allocates nothing once
    // the source is open. Session thread only.
    const EVENT_RECORD* next(std::uint32_t wait_ms) override;
    // Ends a wait in next() at once; any thread.
    void wake() override;
    // Only the messages of the packet in hand are still delivered.
    void end_input() override;

    // Counters of the current capture, for tests and benchmarks; readable
    // from any thread while the session reads.
    std::uint64_t packets() const { return packets_.load(std::memory_order_relaxed); }
    std::uint64_t events() const { return events_.load(std::memory_order_relaxed); }
    // Packets of the port without a DNS message, and those of other traffic.
    std::uint64_t not_dns() const { return not_dns_.load(std::memory_order_relaxed); }
    // TCP segments that ended in a cut-off message (split messages are skipped).
    std::uint64_t tcp_skipped() const { return tcp_skipped_.load(std::memory_order_relaxed); }
    // Packets of the port that the kernel dropped for want of buffer room, as
    // the library last reported it (live captures only); packets() plus these
    // is what reached the capture.
    std::uint64_t kernel_drops() const { return kernel_drops_.load(std::memory_order_relaxed); }

private:
    // Each opens the capture into handles: "" or the failure's text.
    std::string open_file(PcapHandles& handles);
    std::string open_device(PcapHandles& handles);
    std::string drop_outgoing_loopback(pcap* handle, const std::string& filter);
    // Reads the next packet into the frame reader: 1 with a frame of the
    // port, 0 when none was ready, -1 when the capture has ended.
    int read_packet();
    void finish(const char* reason);
    // Counts the frame just read to its end; reads the kernel's drop count.
    void close_frame();
    void read_drops();
    bool wait(int fd, std::uint32_t wait_ms);
    void close();

    std::string capture_;
    std::string target_;  // the path or the interface name
    bool is_file_;
    std::uint16_t port_;
    std::uint32_t buffer_bytes_;
    std::uint32_t asked_buffer_bytes_;
    int wake_fd_ = -1;
    std::unique_ptr<PcapHandles> pcap_;
    std::uint32_t link_ = 0;
    bool nanoseconds_ = false;
    bool ended_ = false;
    std::atomic<bool> input_ended_{false};
    std::int64_t frame_time_ = 0;
    DnsFrameReader reader_;
    substitute::DnsEventBuilder builder_;
    // One writer (the session thread): counted with plain loads and stores.
    std::atomic<std::uint64_t> packets_{0};
    std::atomic<std::uint64_t> events_{0};
    std::atomic<std::uint64_t> not_dns_{0};
    std::atomic<std::uint64_t> tcp_skipped_{0};
    std::atomic<std::uint64_t> kernel_drops_{0};
    bool frame_open_ = false;
    std::uint32_t frame_messages_ = 0;
};

}  // namespace kr::traffic
