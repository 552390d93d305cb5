// Throughput of the sender draining a full queue of 100-byte messages to a
// loopback receiver that only reads, record by record (send_batch 0) and in
// batches (send_batch 65536), beside two baselines on the same loopback: a
// bare loop making the record-by-record sender's system calls (poll + send of
// the 4-byte length, poll + send of the payload) and one writing the same
// bytes in 64 KiB sends. Each iteration times from the start of sending until
// the receiver has read every byte. On a busy machine compare them with
// --benchmark_repetitions=5 --benchmark_enable_random_interleaving=true.
//
// TlsAgainstPlain: 1 M events in batches of 65536 bytes over plain TCP to the
// loopback receiver and over TLS to an in-process OpenSSL receiver, in the
// order plain, TLS, TLS, plain within each iteration; events/s of each and
// TLS as a share of plain.
//
// TrickleLatency: 100 messages a second through each of two running senders,
// record by record and in batches, side by side; the time from each push until
// the receiver has read the whole record (median, p99).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

#include "config/config.h"
#include "forward/sensor_queue.h"
#include "forward/sensor_queue_processor.h"
#include "support/loopback.h"
#include "support/tls_peer.h"

namespace {

constexpr std::size_t kRecords = 50000;
constexpr std::size_t kMessageSize = 100;
constexpr std::size_t kRecordSize = 4 + kMessageSize;
constexpr std::size_t kStreamBytes = kRecords * kRecordSize;
constexpr std::size_t kHelloBytes = 10;

using Clock = std::chrono::steady_clock;

std::vector<std::uint8_t> message() {
    std::vector<std::uint8_t> m(kMessageSize);
    for (std::size_t i = 0; i < m.size(); ++i) m[i] = static_cast<std::uint8_t>(i);
    return m;
}

// Reads exactly total bytes from the first connection, on a thread of its own.
class Receiver {
public:
    explicit Receiver(std::size_t total)
        : thread_([this, total] {
              if (listener_.accept(10000)) received_ = listener_.discard(total, 60000);
          }) {}
    std::uint16_t port() const { return listener_.port(); }
    // Waits until every byte was read (or the reader gave up); true when all came.
    bool join(std::size_t total) {
        thread_.join();
        return received_ == total;
    }

private:
    kr::test::LoopbackListener listener_;
    std::size_t received_ = 0;
    std::thread thread_;
};

int connect_loopback(std::uint16_t port, bool non_blocking) {
    int fd = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return -1;
    if (non_blocking) {
        int one = 1;
        ::ioctl(fd, FIONBIO, &one);
    }
    return fd;
}

// poll + send until every byte is out, as the sender's send_all does.
bool poll_send_all(int fd, const std::uint8_t* data, std::size_t n) {
    std::size_t sent = 0;
    while (sent < n) {
        pollfd p{fd, POLLOUT, 0};
        if (::poll(&p, 1, 5000) <= 0) return false;
        ssize_t r = ::send(fd, data + sent, n - sent, MSG_NOSIGNAL);
        if (r <= 0) return false;
        sent += static_cast<std::size_t>(r);
    }
    return true;
}

void set_counters(benchmark::State& state) {
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kRecords));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kStreamBytes));
}

// Certificates for the TLS receiver, made once by openssl.
const kr::test::TestPki& tls_pki() {
    static const kr::test::TestPki pki;
    return pki;
}

std::vector<kr::config::Target> loopback_target(std::uint16_t port) {
    std::vector<kr::config::Target> targets(1);
    targets[0].ip = "127.0.0.1";
    targets[0].port = port;
    targets[0].timeout = 5;
    return targets;
}

void BM_Sender(benchmark::State& state) {
    const std::vector<std::uint8_t> m = message();
    for (auto _ : state) {
        Receiver receiver(kHelloBytes + kStreamBytes);
        const std::vector<kr::config::Target> targets = loopback_target(receiver.port());
        kr::forward::SensorQueue queue;
        kr::forward::create(queue, 16 << 20);
        for (std::size_t i = 0; i < kRecords; ++i) kr::forward::push(queue, m.data(), kMessageSize);
        kr::forward::SensorQueueProcessor processor;
        kr::forward::init(processor, &queue, &targets);
        processor.send_batch = static_cast<std::uint32_t>(state.range(0));

        const auto t0 = Clock::now();
        kr::forward::start(processor);
        const bool complete = receiver.join(kHelloBytes + kStreamBytes);
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - t0).count());

        kr::forward::stop(processor);
        kr::forward::release(processor);
        kr::forward::destroy(queue);
        if (!complete) state.SkipWithError("the receiver did not get every byte");
    }
    set_counters(state);
}

void BM_BareSameSyscalls(benchmark::State& state) {
    const std::vector<std::uint8_t> m = message();
    const std::uint8_t length[4] = {0, 0, 0, kMessageSize};
    for (auto _ : state) {
        Receiver receiver(kStreamBytes);
        const int fd = connect_loopback(receiver.port(), true);
        const auto t0 = Clock::now();
        bool ok = fd >= 0;
        // On a thread of its own, as the sender runs.
        std::thread writer([&] {
            for (std::size_t i = 0; ok && i < kRecords; ++i) {
                ok = poll_send_all(fd, length, sizeof length) && poll_send_all(fd, m.data(), m.size());
            }
        });
        writer.join();
        const bool complete = receiver.join(kStreamBytes);
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - t0).count());
        if (fd >= 0) ::close(fd);
        if (!ok || !complete) state.SkipWithError("the bare loop failed");
    }
    set_counters(state);
}

void BM_Bulk64KiB(benchmark::State& state) {
    std::vector<std::uint8_t> stream(kStreamBytes);
    const std::vector<std::uint8_t> m = message();
    for (std::size_t i = 0; i < kRecords; ++i) {
        std::uint8_t* r = stream.data() + i * kRecordSize;
        r[0] = r[1] = r[2] = 0;
        r[3] = kMessageSize;
        std::memcpy(r + 4, m.data(), kMessageSize);
    }
    for (auto _ : state) {
        Receiver receiver(kStreamBytes);
        const int fd = connect_loopback(receiver.port(), false);
        const auto t0 = Clock::now();
        bool ok = fd >= 0;
        for (std::size_t sent = 0; ok && sent < kStreamBytes;) {
            const std::size_t chunk = std::min<std::size_t>(64 * 1024, kStreamBytes - sent);
            ssize_t r = ::send(fd, stream.data() + sent, chunk, MSG_NOSIGNAL);
            ok = r > 0;
            if (ok) sent += static_cast<std::size_t>(r);
        }
        const bool complete = receiver.join(kStreamBytes);
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - t0).count());
        if (fd >= 0) ::close(fd);
        if (!ok || !complete) state.SkipWithError("the bulk writer failed");
    }
    set_counters(state);
}

double percentile(std::vector<double> values, double fraction) {
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1))];
}

// One running sender over its own queue, with a reader that notes when each
// record has fully arrived.
class TricklePipeline {
public:
    TricklePipeline(std::uint32_t send_batch, std::size_t events)
        : targets_(loopback_target(listener_.port())), pushed_(events), received_(events) {
        kr::forward::create(queue_, 16 << 20);
        kr::forward::init(processor_, &queue_, &targets_);
        processor_.send_batch = send_batch;
        kr::forward::start(processor_);
        complete_ = listener_.accept(10000) && listener_.read(kHelloBytes, 5000).size() == kHelloBytes;
        reader_ = std::thread([this] {
            for (std::size_t i = 0; complete_ && i < received_.size(); ++i) {
                complete_ = listener_.read(kRecordSize, 5000).size() == kRecordSize;
                received_[i] = Clock::now();
            }
        });
    }
    ~TricklePipeline() {
        if (reader_.joinable()) reader_.join();
        kr::forward::stop(processor_);
        kr::forward::release(processor_);
        kr::forward::destroy(queue_);
    }
    void push(std::size_t i, const std::vector<std::uint8_t>& m) {
        pushed_[i] = Clock::now();
        kr::forward::push(queue_, m.data(), kMessageSize);
    }
    // Waits for the reader; the latencies in microseconds, or none when a record is missing.
    std::vector<double> latencies() {
        reader_.join();
        std::vector<double> micros;
        for (std::size_t i = 0; complete_ && i < pushed_.size(); ++i) {
            micros.push_back(std::chrono::duration<double, std::micro>(received_[i] - pushed_[i]).count());
        }
        return micros;
    }

private:
    kr::test::LoopbackListener listener_;
    const std::vector<kr::config::Target> targets_;
    kr::forward::SensorQueue queue_;
    kr::forward::SensorQueueProcessor processor_;
    std::vector<Clock::time_point> pushed_, received_;
    bool complete_ = false;
    std::thread reader_;
};

// Both senders run at once, each fed 100 messages a second, 5 ms apart, so
// that the machine's other load falls on both alike.
void BM_TrickleLatency(benchmark::State& state) {
    constexpr std::size_t kEvents = 1000;
    const std::vector<std::uint8_t> m = message();
    for (auto _ : state) {
        TricklePipeline record_by_record(0, kEvents), batches(65536, kEvents);
        const auto t0 = Clock::now();
        for (std::size_t i = 0; i < kEvents; ++i) {
            // Each goes first every other time, so that neither keeps the same slot.
            TricklePipeline& first = i % 2 == 0 ? record_by_record : batches;
            TricklePipeline& second = i % 2 == 0 ? batches : record_by_record;
            std::this_thread::sleep_until(t0 + std::chrono::microseconds(10000 * i));
            first.push(i, m);
            std::this_thread::sleep_until(t0 + std::chrono::microseconds(10000 * i + 5000));
            second.push(i, m);
        }
        const std::vector<double> plain = record_by_record.latencies(), batched = batches.latencies();
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - t0).count());
        if (plain.empty() || batched.empty()) {
            state.SkipWithError("a receiver did not get every record");
            break;
        }
        state.counters["0_median_us"] = percentile(plain, 0.5);
        state.counters["0_p99_us"] = percentile(plain, 0.99);
        state.counters["65536_median_us"] = percentile(batched, 0.5);
        state.counters["65536_p99_us"] = percentile(batched, 0.99);
    }
}

// Events/s of one sender draining `events` queued messages in batches of
// 65536 bytes, over TLS when tls is set; 0 when not every byte arrived.
double batch_events_per_second(std::size_t events, const kr::transport::TlsContext* tls) {
    const std::vector<std::uint8_t> m = message();
    const std::size_t total = kHelloBytes + events * kRecordSize;
    std::unique_ptr<Receiver> plain;
    std::unique_ptr<kr::test::TlsPeer> peer;
    if (tls != nullptr) {
        const kr::test::TestPki& pki = tls_pki();
        peer = std::make_unique<kr::test::TlsPeer>(pki.pem("server"), pki.key("server"));
    } else {
        plain = std::make_unique<Receiver>(total);
    }
    const auto targets = loopback_target(peer ? peer->port() : plain->port());
    kr::forward::SensorQueue queue;
    kr::forward::create(queue, static_cast<std::uint32_t>(total + (1 << 20)));
    for (std::size_t i = 0; i < events; ++i) kr::forward::push(queue, m.data(), kMessageSize);
    kr::forward::SensorQueueProcessor processor;
    kr::forward::init(processor, &queue, &targets);
    processor.send_batch = 65536;
    processor.tls = tls;
    const auto t0 = Clock::now();
    kr::forward::start(processor);
    bool complete = false;
    if (peer) {
        const auto until = t0 + std::chrono::seconds(120);
        while (peer->received() < total && Clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        complete = peer->received() == total;
    } else {
        complete = plain->join(total);
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    kr::forward::stop(processor);
    kr::forward::release(processor);
    kr::forward::destroy(queue);
    return complete ? static_cast<double>(events) / seconds : 0;
}

void BM_TlsAgainstPlain(benchmark::State& state) {
    const std::size_t events = static_cast<std::size_t>(state.range(0));
    kr::config::TlsSettings settings;
    settings.on = true;
    settings.ca = tls_pki().pem("ca");
    std::string warning;
    const auto context = kr::transport::make_tls_context(settings, warning);
    const kr::transport::TlsContext* tls = context.get();
    double plain = 0, secure = 0;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        const double p1 = batch_events_per_second(events, nullptr);
        const double t1 = batch_events_per_second(events, tls);
        const double t2 = batch_events_per_second(events, tls);
        const double p2 = batch_events_per_second(events, nullptr);
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - t0).count());
        if (p1 == 0 || p2 == 0 || t1 == 0 || t2 == 0) {
            state.SkipWithError("a receiver did not get every byte");
            break;
        }
        plain += p1 + p2;
        secure += t1 + t2;
    }
    state.counters["plain_events_per_s"] = plain / (2.0 * static_cast<double>(state.iterations()));
    state.counters["tls_events_per_s"] = secure / (2.0 * static_cast<double>(state.iterations()));
    state.counters["tls_share_of_plain"] = plain > 0 ? secure / plain : 0;
}

BENCHMARK(BM_Sender)->ArgName("send_batch")->Arg(0)->Arg(65536)->UseManualTime()->Unit(benchmark::kMillisecond)
    ->MinTime(2.0);
BENCHMARK(BM_BareSameSyscalls)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_Bulk64KiB)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_TlsAgainstPlain)->ArgName("events")->Arg(1000000)->UseManualTime()->Iterations(2)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TrickleLatency)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
