#include "outputs/dnstap_socket.h"

#include <arpa/inet.h>
#include <fstrm.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <chrono>
#include <cstring>
#include <limits>

#include "options/options.h"
#include "outputs/dnstap_message.h"

namespace kr::collector {

namespace {

// A pending batch goes to the queue at this size, or at a quarter of the
// queue when that is smaller: a batch never exceeds what the queue holds.
constexpr std::size_t kHandOverBytes = 256 * 1024;
constexpr std::uint64_t kBatchesPerQueue = 4;
// The loop may wait for room in the queue this long in all, a credit that
// refills at a tenth of the time passing: a burst may take a second of the
// loop's time, a receiver slower than the agents at most a tenth of it. It
// never waits once the receiver's socket has been full for kStalledMs.
constexpr std::int64_t kWaitCreditUs = 1000 * 1000;
constexpr std::int64_t kRefillShare = 10;
constexpr std::int64_t kStalledMs = 100;
constexpr std::int64_t kRetryMs = 1000;
constexpr std::int64_t kAnswerMs = 5000;  // for a connect, an ACCEPT or a FINISH
constexpr std::int64_t kStopGraceMs = 3000;
constexpr int kSliceMs = 100;  // I/O waits this long at most between checks of the abort time

std::int64_t now_us() {
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::int64_t now_ms() {
    return now_us() / 1000;
}

constexpr char kClosed[] = "the receiver closed the connection";

}  // namespace

// One connection: the socket, and the libfstrm writer that speaks Frame
// Streams over it through the callbacks below. Sender thread only.
struct DnstapSocket::Link {
    DnstapSocket& owner;
    int fd = -1;
    bool handshaking = false;  // connected, READY sent or about to be
    std::string problem;
    fstrm_writer* writer = nullptr;

    explicit Link(DnstapSocket& socket) : owner(socket) {}
    ~Link() { close(); }

    bool open();
    void close() {
        fstrm_writer_destroy(&writer);  // a STOP frame and the wait for FINISH when it is open
        drop_fd();
    }
    void drop_fd() {
        if (fd >= 0) {
            ::close(fd);
            fd = -1;
        }
    }
    bool fail(const std::string& text) {
        if (problem.empty()) {
            problem = text;
        }
        return false;
    }
    // Waits for `events`; false once `limit_ms` or the abort time has passed.
    bool wait(short events, std::int64_t limit_ms) {
        for (;;) {
            const std::int64_t now = now_ms();
            if (now >= owner.abort_at_ms_) {
                return fail("given up at exit");
            }
            if (now >= limit_ms) {
                return fail("no answer within " + std::to_string(kAnswerMs / 1000) + " s");
            }
            pollfd item{fd, events, 0};
            if (poll(&item, 1, kSliceMs) > 0) {
                return true;
            }
        }
    }
    bool connect_socket();
    bool read_all(std::uint8_t* data, std::size_t size);
    bool write_all(const iovec* iov, int count);
    // Between ACCEPT and our STOP a receiver sends nothing: anything to read,
    // the end of its stream included, means the connection is over.
    bool hung_up() {
        pollfd item{fd, POLLIN | POLLRDHUP, 0};
        if (fd < 0 || poll(&item, 1, 0) <= 0) {
            return false;
        }
        char byte;
        const ssize_t got = recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            return false;
        }
        fail(got == 0  ? std::string(kClosed)
             : got > 0 ? std::string("the receiver sent data out of turn")
                       : std::string("recv: ") + std::strerror(errno));
        return true;
    }
};

bool DnstapSocket::Link::connect_socket() {
    sockaddr_storage address{};
    socklen_t length = 0;
    if (owner.unix_) {
        auto* un = reinterpret_cast<sockaddr_un*>(&address);
        un->sun_family = AF_UNIX;
        std::memcpy(un->sun_path, owner.address_.c_str(), owner.address_.size() + 1);
        length = sizeof(sockaddr_un);
    } else if (owner.address_.find(':') == std::string::npos) {
        auto* in = reinterpret_cast<sockaddr_in*>(&address);
        in->sin_family = AF_INET;
        in->sin_port = htons(owner.port_);
        inet_pton(AF_INET, owner.address_.c_str(), &in->sin_addr);
        length = sizeof(sockaddr_in);
    } else {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&address);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(owner.port_);
        inet_pton(AF_INET6, owner.address_.c_str(), &in6->sin6_addr);
        length = sizeof(sockaddr_in6);
    }
    fd = socket(address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return fail(std::string("socket: ") + std::strerror(errno));
    }
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), length) == 0) {
        return true;
    }
    if (errno != EINPROGRESS) {
        return fail(std::strerror(errno));
    }
    int code = 0;
    socklen_t code_length = sizeof code;
    if (!wait(POLLOUT, now_ms() + kAnswerMs)) {
        return false;
    }
    getsockopt(fd, SOL_SOCKET, SO_ERROR, &code, &code_length);
    return code == 0 || fail(std::strerror(code));
}

bool DnstapSocket::Link::read_all(std::uint8_t* data, std::size_t size) {
    const std::int64_t limit = now_ms() + kAnswerMs;
    while (size > 0) {
        const ssize_t got = recv(fd, data, size, 0);
        if (got > 0) {
            data += got;
            size -= static_cast<std::size_t>(got);
        } else if (got == 0) {
            return fail(kClosed);
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (!wait(POLLIN, limit)) {
                return false;
            }
        } else if (errno != EINTR) {
            return fail(std::string("recv: ") + std::strerror(errno));
        }
    }
    return true;
}

bool DnstapSocket::Link::write_all(const iovec* iov, int count) {
    std::vector<iovec> left(iov, iov + count);
    std::size_t first = 0;
    while (first < left.size()) {
        msghdr message{};
        message.msg_iov = left.data() + first;
        message.msg_iovlen = std::min<std::size_t>(left.size() - first, IOV_MAX);
        ssize_t sent = sendmsg(fd, &message, MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                std::int64_t idle = 0;
                owner.blocked_since_ms_.compare_exchange_strong(idle, now_ms());
                if (!wait(POLLOUT, std::numeric_limits<std::int64_t>::max())) {
                    return false;
                }
            } else if (errno != EINTR) {
                return fail(std::string("send: ") + std::strerror(errno));
            }
            continue;
        }
        owner.blocked_since_ms_ = 0;
        while (first < left.size() && static_cast<std::size_t>(sent) >= left[first].iov_len) {
            sent -= static_cast<ssize_t>(left[first].iov_len);
            ++first;
        }
        if (first < left.size()) {
            left[first].iov_base = static_cast<std::uint8_t*>(left[first].iov_base) + sent;
            left[first].iov_len -= static_cast<std::size_t>(sent);
        }
    }
    return true;
}

bool DnstapSocket::Link::open() {
    problem.clear();
    handshaking = false;
    fstrm_rdwr* rdwr = fstrm_rdwr_init(this);
    // The writer opens and closes the transport as the protocol needs it.
    fstrm_rdwr_set_open(rdwr, [](void* self) {
        auto* link = static_cast<Link*>(self);
        link->drop_fd();
        link->handshaking = link->connect_socket();
        return link->handshaking ? fstrm_res_success : fstrm_res_failure;
    });
    fstrm_rdwr_set_close(rdwr, [](void* self) {
        static_cast<Link*>(self)->drop_fd();
        return fstrm_res_success;
    });
    fstrm_rdwr_set_read(rdwr, [](void* self, void* data, std::size_t size) {
        return static_cast<Link*>(self)->read_all(static_cast<std::uint8_t*>(data), size) ? fstrm_res_success
                                                                                            : fstrm_res_failure;
    });
    fstrm_rdwr_set_write(rdwr, [](void* self, const iovec* iov, int count) {
        return static_cast<Link*>(self)->write_all(iov, count) ? fstrm_res_success : fstrm_res_failure;
    });
    fstrm_writer_options* options = fstrm_writer_options_init();
    fstrm_writer_options_add_content_type(options, kDnstapContentType.data(), kDnstapContentType.size());
    writer = fstrm_writer_init(options, &rdwr);
    fstrm_writer_options_destroy(&options);
    if (writer != nullptr && fstrm_writer_open(writer) == fstrm_res_success) {
        return true;
    }
    // Not open: destroying the writer sends nothing. A receiver refuses a
    // content type by closing at READY, or by an ACCEPT without it.
    close();
    if (handshaking && (problem.empty() || problem == kClosed)) {
        problem = "the receiver refused the content type " + std::string(kDnstapContentType);
    }
    return fail("the handshake failed");
}

DnstapSocket::DnstapSocket(std::string target, std::uint64_t queue_bytes, std::FILE* log)
    : target_(std::move(target)), queue_bytes_(queue_bytes),
      hand_over_bytes_(static_cast<std::size_t>(std::min<std::uint64_t>(kHandOverBytes, queue_bytes / kBatchesPerQueue))),
      log_(log), credit_at_us_(now_us()),
      abort_at_ms_(std::numeric_limits<std::int64_t>::max()) {}

DnstapSocket::~DnstapSocket() {
    stop();
}

bool DnstapSocket::start(std::string& error) {
    error = "bad --dnstap-socket value '" + target_ + "' (expected unix:PATH or tcp:ADDR:PORT with a numeric address)";
    if (target_.compare(0, 5, "unix:") == 0) {
        unix_ = true;
        address_ = target_.substr(5);
        if (address_.empty() || address_.size() >= sizeof(sockaddr_un::sun_path)) {
            return false;
        }
    } else {
        in6_addr ignored;
        if (target_.compare(0, 4, "tcp:") != 0 || !split_host_port(target_.substr(4), address_, port_) ||
            port_ == 0 || inet_pton(address_.find(':') == std::string::npos ? AF_INET : AF_INET6,
                                    address_.c_str(), &ignored) != 1) {
            return false;
        }
    }
    error.clear();
    thread_ = std::thread([this] { run(); });
    return true;
}

void DnstapSocket::add(const std::vector<std::uint8_t>& frame) {
    pending_.data.append(reinterpret_cast<const char*>(frame.data()), frame.size());
    pending_.sizes.push_back(static_cast<std::uint32_t>(frame.size()));
    if (pending_.data.size() >= hand_over_bytes_) {
        flush();
    }
}

void DnstapSocket::flush() {
    if (pending_.sizes.empty()) {
        return;
    }
    {
        std::unique_lock<std::mutex> lock(mutex_);
        while (queued_bytes_ + pending_.data.size() > queue_bytes_ && wait_for_room(lock)) {
        }
        if (queued_bytes_ + pending_.data.size() > queue_bytes_) {
            counters_.dropped += pending_.sizes.size();
        } else {
            queued_bytes_ += pending_.data.size();
            queue_.push_back(std::move(pending_));
        }
    }
    wake_.notify_one();
    pending_ = Batch{};
}

bool DnstapSocket::wait_for_room(std::unique_lock<std::mutex>& lock) {
    const std::int64_t start = now_us();
    credit_us_ = std::min(kWaitCreditUs, credit_us_ + (start - credit_at_us_) / kRefillShare);
    credit_at_us_ = start;
    const std::int64_t blocked_since = blocked_since_ms_;
    const std::int64_t stalled_in_us =
        blocked_since == 0 ? kStalledMs * 1000 : (blocked_since + kStalledMs) * 1000 - start;
    const std::int64_t limit_us = std::min(credit_us_, stalled_in_us);
    if (!connected_ || stopping_ || limit_us <= 0) {
        return false;
    }
    room_.wait_for(lock, std::chrono::microseconds(limit_us));
    credit_at_us_ = now_us();
    credit_us_ -= credit_at_us_ - start;
    return true;
}

void DnstapSocket::stop() {
    if (!thread_.joinable()) {
        return;
    }
    flush();
    abort_at_ms_ = now_ms() + kStopGraceMs;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    thread_.join();
}

DnstapSocket::Counters DnstapSocket::counters() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return counters_;
}

void DnstapSocket::write(Link& link, Batch& batch) {
    std::vector<iovec> frames(batch.sizes.size());
    std::size_t offset = 0;
    for (std::size_t i = 0; i < frames.size(); ++i) {
        frames[i] = {&batch.data[offset], batch.sizes[i]};
        offset += batch.sizes[i];
    }
    const bool ok = fstrm_writer_writev(link.writer, frames.data(), static_cast<int>(frames.size())) ==
                    fstrm_res_success;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // A batch cut by a broken connection counts as lost, though part of
        // it may have arrived: no frame is ever sent twice.
        (ok ? counters_.sent : counters_.dropped) += frames.size();
    }
    if (!ok) {
        std::fprintf(log_, "collector: dnstap receiver %s: connection lost: %s; %zu frames dropped%s\n",
                     target_.c_str(), link.problem.c_str(), frames.size(),
                     now_ms() >= abort_at_ms_ ? "" : ", reconnecting");
        link.close();
    }
}

void DnstapSocket::run() {
    Link link(*this);
    std::int64_t next_attempt = 0;
    std::string noted;  // the last reason the receiver could not be reached, said once
    bool tried_after_stop = false;
    std::unique_lock<std::mutex> lock(mutex_);
    // A connection the receiver ended while nothing was being written: the
    // frames waiting go to the next one.
    const auto ended = [&] {
        lock.unlock();
        const bool gone = link.hung_up();
        if (gone) {
            std::fprintf(log_, "collector: dnstap receiver %s: connection lost: %s; reconnecting\n", target_.c_str(),
                         link.problem.c_str());
            link.close();
        }
        lock.lock();
        if (gone) {
            connected_ = false;
            next_attempt = 0;
        }
        return gone;
    };
    for (;;) {
        if (stopping_) {
            if (queue_.empty() || now_ms() >= abort_at_ms_ || (link.writer == nullptr && tried_after_stop)) {
                break;
            }
            next_attempt = 0;  // one more attempt, not after a pause
        }
        if (link.writer == nullptr && now_ms() >= next_attempt) {
            tried_after_stop = stopping_;
            lock.unlock();
            const bool open = link.open();
            if (open) {
                std::fprintf(log_, "collector: dnstap receiver %s: connected\n", target_.c_str());
            } else if (link.problem != noted) {
                std::fprintf(log_, "collector: dnstap receiver %s: cannot connect: %s; retrying every second\n",
                             target_.c_str(), link.problem.c_str());
            }
            noted = open ? "" : link.problem;
            lock.lock();
            connected_ = open;
            counters_.connects += open ? 1 : 0;
            next_attempt = now_ms() + kRetryMs;
            continue;
        }
        if (link.writer != nullptr && !queue_.empty()) {
            if (ended()) {
                continue;
            }
            Batch batch = std::move(queue_.front());
            queue_.pop_front();
            queued_bytes_ -= batch.data.size();
            lock.unlock();
            room_.notify_one();
            write(link, batch);
            lock.lock();
            connected_ = link.writer != nullptr;
            continue;
        }
        const auto ready = [&] { return stopping_ || (link.writer != nullptr && !queue_.empty()); };
        if (link.writer == nullptr) {
            wake_.wait_for(lock, std::chrono::milliseconds(next_attempt - now_ms()), ready);
        } else if (!wake_.wait_for(lock, std::chrono::milliseconds(kSliceMs), ready)) {
            ended();
        }
    }
    connected_ = false;
    for (const Batch& batch : queue_) {
        counters_.dropped += batch.sizes.size();
    }
    queue_.clear();
    queued_bytes_ = 0;
    lock.unlock();
    room_.notify_one();
    link.close();
}

}  // namespace kr::collector
