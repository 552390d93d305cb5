#include "traffic/pcap_source.h"

#include <linux/filter.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <pcap/pcap.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <vector>

#include "error/error.h"
#include "log/log.h"

namespace kr::traffic {

struct PcapHandles {
    pcap_t* handle = nullptr;
    int fd = -1;  // readable when a live capture has packets
};

namespace {

constexpr char kFilePrefix[] = "file:";
constexpr char kDevicePrefix[] = "device:";
// Large enough for any frame a DNS message fits in. Without immediate mode
// the kernel packs frames by their captured size into its blocks, so a large
// snap length costs no room for small packets.
constexpr int kSnapLength = 262144;
// How long the kernel holds a part-filled block before handing it over: the
// most a lone packet waits.
constexpr int kBlockTimeoutMs = 10;

void count(std::atomic<std::uint64_t>& counter) {
    counter.store(counter.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

bool starts_with(const std::string& text, const char* prefix) {
    return text.compare(0, std::strlen(prefix), prefix) == 0;
}

// Worded as pcap_open_live words it: the interface, the status, the detail.
std::string activate_error(pcap_t* handle, const std::string& device, int status) {
    const std::string detail = pcap_geterr(handle);
    if (status == PCAP_ERROR) return device + ": " + detail;
    std::string text = device + ": " + pcap_statustostr(status);
    if (!detail.empty() && detail != pcap_statustostr(status)) text += " (" + detail + ")";
    return text;
}

}  // namespace

PcapEventSource::PcapEventSource(std::string capture, std::uint16_t port, std::uint32_t buffer_bytes)
    : capture_(std::move(capture)), is_file_(starts_with(capture_, kFilePrefix)), port_(port),
      buffer_bytes_(std::max(buffer_bytes, kMinimumBufferBytes)), asked_buffer_bytes_(buffer_bytes) {
    target_ = capture_.substr(is_file_ ? sizeof kFilePrefix - 1
                                       : starts_with(capture_, kDevicePrefix) ? sizeof kDevicePrefix - 1 : 0);
    wake_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wake_fd_ < 0) kr::error::throw_failure<kr::error::UnknownError>("eventfd()", errno);
}

std::string PcapEventSource::settings() const {
    std::string text = capture_ + ", port " + std::to_string(port_);
    if (is_file_) return text;
    return text + ", buffer " + std::to_string(buffer_bytes_) + " bytes, snap length " + std::to_string(kSnapLength) +
           ", block time-out " + std::to_string(kBlockTimeoutMs) + " ms";
}

PcapEventSource::~PcapEventSource() {
    close();
    if (wake_fd_ >= 0) ::close(wake_fd_);
}

void PcapEventSource::close() {
    if (pcap_ && pcap_->handle) pcap_close(pcap_->handle);
    pcap_.reset();
}

ULONG PcapEventSource::open() {
    close();
    ended_ = false;
    input_ended_ = false;
    for (auto* counter : {&packets_, &events_, &not_dns_, &tcp_skipped_, &kernel_drops_}) {
        counter->store(0, std::memory_order_relaxed);
    }
    frame_open_ = false;
    reader_ = DnsFrameReader();
    auto handles = std::make_unique<PcapHandles>();
    const std::string failure = is_file_ ? open_file(*handles) : open_device(*handles);
    if (!failure.empty()) return static_cast<ULONG>(kr::error::register_error_text(failure));
    link_ = static_cast<std::uint32_t>(pcap_datalink(handles->handle));
    nanoseconds_ = pcap_get_tstamp_precision(handles->handle) == PCAP_TSTAMP_PRECISION_NANO;
    pcap_ = std::move(handles);
    if (!is_file_ && asked_buffer_bytes_ < buffer_bytes_) {
        kr::log::log_print("capture-buffer %u raised to %u bytes, the least the capture ring works with",
                           static_cast<unsigned>(asked_buffer_bytes_), static_cast<unsigned>(buffer_bytes_));
    }
    kr::log::log_print("Capture opened: %s", settings().c_str());
    return ERROR_SUCCESS;
}

std::string PcapEventSource::open_file(PcapHandles& handles) {
    char error[PCAP_ERRBUF_SIZE] = "";
    handles.handle = pcap_open_offline_with_tstamp_precision(target_.c_str(), PCAP_TSTAMP_PRECISION_NANO, error);
    if (!handles.handle) return "pcap_open_offline(" + target_ + "): " + error;
    return "";
}

std::string PcapEventSource::open_device(PcapHandles& handles) {
    char error[PCAP_ERRBUF_SIZE] = "";
    pcap_t* handle = pcap_create(target_.c_str(), error);
    if (!handle) return "pcap_create(" + target_ + "): " + error;
    // Immediate mode would cut the buffer into fixed slots of the largest
    // frame (a few hundred of them); without it the kernel ring is made of
    // blocks that hold packets by their real size, handed over when full or
    // after the block time-out.
    pcap_set_snaplen(handle, kSnapLength);
    pcap_set_immediate_mode(handle, 0);
    pcap_set_timeout(handle, kBlockTimeoutMs);
    pcap_set_buffer_size(handle, static_cast<int>(std::min<std::uint32_t>(buffer_bytes_, INT_MAX)));
    pcap_set_tstamp_precision(handle, PCAP_TSTAMP_PRECISION_NANO);  // micro where refused
    std::string failure;
    const int status = pcap_activate(handle);
    if (status < 0) failure = "pcap_activate(" + target_ + "): " + activate_error(handle, target_, status);
    const std::string filter = "port " + std::to_string(port_);
    bpf_program program{};
    if (failure.empty() && pcap_compile(handle, &program, filter.c_str(), 1, PCAP_NETMASK_UNKNOWN) != 0) {
        failure = "pcap_compile(" + filter + "): " + pcap_geterr(handle);
    } else if (failure.empty()) {
        if (pcap_setfilter(handle, &program) != 0) failure = "pcap_setfilter(" + filter + "): " + pcap_geterr(handle);
        pcap_freecode(&program);
    }
    // Without it the library still drops the outgoing copies, in user space:
    // the capture goes on, with those copies counted in the kernel.
    if (failure.empty()) {
        const std::string filter_failure = drop_outgoing_loopback(handle, filter);
        if (!filter_failure.empty()) {
            kr::log::log_print("ERROR - Capture goes on without the kernel filter for outgoing loopback copies "
                               "(they are dropped in user space and count in kernel_drops): %s",
                               filter_failure.c_str());
        }
    }
    // Non-blocking reads and poll: a stop never waits on an idle interface.
    if (failure.empty() && pcap_setnonblock(handle, 1, error) != 0) {
        failure = "pcap_setnonblock(" + target_ + "): " + error;
    }
    if (failure.empty()) {
        handles.fd = pcap_get_selectable_fd(handle);
        if (handles.fd < 0) failure = "pcap_get_selectable_fd(" + target_ + "): no descriptor to wait on";
    }
    if (!failure.empty()) {
        pcap_close(handle);
        return failure;
    }
    handles.handle = handle;
    return "";
}

int PcapEventSource::read_packet() {
    if (ended_ || !pcap_) return -1;
    pcap_pkthdr* header = nullptr;
    const u_char* data = nullptr;
    const int status = pcap_next_ex(pcap_->handle, &header, &data);
    if (status == 0) return 0;
    if (status == PCAP_ERROR_BREAK) {
        finish(nullptr);
        return -1;
    }
    if (status != 1) {
        finish(pcap_geterr(pcap_->handle));
        return -1;
    }
    count(packets_);
    const std::uint32_t fraction = nanoseconds_ ? header->ts.tv_usec : header->ts.tv_usec * 1000u;
    frame_time_ = capture_time_to_event_time(header->ts.tv_sec, fraction);
    frame_open_ = reader_.start(link_, data, header->caplen, port_);
    frame_messages_ = 0;
    if (!frame_open_) count(not_dns_);
    return frame_open_ ? 1 : 0;
}

void PcapEventSource::close_frame() {
    if (!frame_open_) return;
    frame_open_ = false;
    if (reader_.cut_off()) {
        count(tcp_skipped_);
    } else if (frame_messages_ == 0) {
        count(not_dns_);
    }
}

// On lo every packet passes the capture twice, going out and coming in; the
// library throws the outgoing copy away, but only after the kernel counted
// it (and dropped it too when the buffer was full). Rejected in the kernel,
// it counts nowhere, so drops are in packets as the source reads them. The
// library's own filter stays as it is: it also runs in user space for the
// first blocks, where the kernel's packet type and interface are unknown.
std::string PcapEventSource::drop_outgoing_loopback(pcap_t* handle, const std::string& filter) {
    const unsigned loopback = if_nametoindex("lo");
    if (loopback == 0) return "";
    const int link = pcap_datalink(handle);
    // Cooked captures read from the network header on in the kernel.
    const bool cooked = link == DLT_LINUX_SLL || link == DLT_LINUX_SLL2;
    pcap_t* dead = pcap_open_dead(cooked ? DLT_RAW : link, kSnapLength);
    bpf_program port{};
    const int compiled = dead ? pcap_compile(dead, &port, filter.c_str(), 1, PCAP_NETMASK_UNKNOWN) : -1;
    if (dead) pcap_close(dead);
    if (compiled != 0) return "pcap_compile(" + filter + "): no kernel filter for link type " + std::to_string(link);
    std::vector<sock_filter> code = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, static_cast<std::uint32_t>(SKF_AD_OFF + SKF_AD_PKTTYPE)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, PACKET_OUTGOING, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, static_cast<std::uint32_t>(SKF_AD_OFF + SKF_AD_IFINDEX)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, loopback, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, 0),
    };
    for (unsigned i = 0; i < port.bf_len; ++i) {
        const bpf_insn& in = port.bf_insns[i];
        code.push_back(sock_filter{in.code, in.jt, in.jf, in.k});
    }
    pcap_freecode(&port);
    sock_fprog kernel{static_cast<unsigned short>(code.size()), code.data()};
    if (setsockopt(pcap_fileno(handle), SOL_SOCKET, SO_ATTACH_FILTER, &kernel, sizeof kernel) != 0) {
        return "setsockopt(" + target_ + ", SO_ATTACH_FILTER): " + std::strerror(errno);
    }
    return "";
}

// pcap_stats is not safe beside a read on another thread (on Linux it also
// folds the kernel's counts into the handle), so the session thread asks.
void PcapEventSource::read_drops() {
    pcap_stat stats{};
    if (is_file_ || !pcap_ || pcap_stats(pcap_->handle, &stats) != 0) return;
    // ps_ifdrop is the interface's own drop count, every port's packets: not
    // packets this capture missed.
    kernel_drops_.store(stats.ps_drop, std::memory_order_relaxed);
}

// The capture delivers nothing more from here on; the session runs until stopped.
void PcapEventSource::finish(const char* reason) {
    ended_ = true;
    if (reason) {
        kr::log::log_print("ERROR - Packet capture failed: pcap_next_ex(%s): %s", target_.c_str(), reason);
    } else if (is_file_) {
        kr::log::log_print("Capture file %s replayed: %llu packets, %llu DNS messages", target_.c_str(),
                           static_cast<unsigned long long>(packets()), static_cast<unsigned long long>(events()));
    }
}

// Waits for fd (or only for a wake when fd is -1). False on a wake or the time limit.
bool PcapEventSource::wait(int fd, std::uint32_t wait_ms) {
    pollfd fds[2] = {{wake_fd_, POLLIN, 0}, {fd, POLLIN, 0}};
    const int ready = poll(fds, fd >= 0 ? 2 : 1, static_cast<int>(wait_ms));
    if (ready <= 0) return false;
    if (fds[0].revents != 0) {
        std::uint64_t count = 0;
        // Non-blocking: a wake that another reader already took is no error.
        [[maybe_unused]] ssize_t n = ::read(wake_fd_, &count, sizeof count);
        return false;
    }
    return true;
}

const EVENT_RECORD* PcapEventSource::next(std::uint32_t wait_ms) {
    using Clock = std::chrono::steady_clock;
    // The clock is read only once there is something to wait for or a long
    // run of frames without a message, not once per event.
    Clock::time_point deadline{};
    bool timed = false;
    auto time_left_ms = [&]() -> std::int64_t {
        const auto now = Clock::now();
        if (!timed) {
            deadline = now + std::chrono::milliseconds(wait_ms);
            timed = true;
        }
        return std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count();
    };
    for (unsigned frames = 1;; ++frames) {
        DnsMessageEvent message;
        while (reader_.next(message)) {
            ++frame_messages_;
            const EVENT_RECORD* record =
                builder_.build(message.event_id, frame_time_, message.tcp, message.server_ip, message.client_ip,
                               message.message, message.size);
            // A message too large for an event's user data is skipped.
            if (record) {
                count(events_);
                return record;
            }
        }
        close_frame();
        // Packets the capture still holds are not part of any buffer yet.
        if (input_ended_) return nullptr;
        const int status = read_packet();
        // A file never has to wait: its next packet is read at once.
        const bool more_at_once = status == 1 || (status == 0 && is_file_);
        // A flood of frames without a message still lets the caller look at
        // its stop flag now and then.
        if (more_at_once && frames % 1024 != 0) continue;
        read_drops();
        const std::int64_t left = time_left_ms();
        if (left <= 0) return nullptr;
        if (more_at_once) continue;
        if (!wait(status == 0 ? pcap_->fd : -1, static_cast<std::uint32_t>(left))) return nullptr;
    }
}

void PcapEventSource::wake() {
    const std::uint64_t one = 1;
    // Only fails when the counter is saturated, which is already a pending wake.
    [[maybe_unused]] ssize_t n = ::write(wake_fd_, &one, sizeof one);
}

void PcapEventSource::end_input() {
    input_ended_ = true;
    wake();
}

}  // namespace kr::traffic
