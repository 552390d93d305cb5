#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <regex>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "error/error.h"
#include "forward/sensor_queue_processor.h"
#include "support/log_capture.h"
#include "support/loopback.h"
#include "support/tls_peer.h"
#include "thread/crt.h"
#include "thread/thread.h"
#include "transport/net_api.h"

namespace kr::forward {
using kr::sensor::SensorError;
using kr::transport::NetApi;
using kr::transport::Socket;
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
using kr::transport::net_api;
using kr::transport::net_platform_api;

namespace {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;
using kr::config::Target;
using kr::test::LogCapture;
using kr::test::LoopbackListener;

const Bytes kHello = {0x00, 0x00, 0x00, 0x06, 0x01, 0x33, 0x2E, 0x36, 0x2E, 0x38};

Bytes message_of(std::size_t size, std::uint8_t seed) {
    Bytes m(size);
    for (std::size_t i = 0; i < size; ++i) m[i] = static_cast<std::uint8_t>(seed + i * 7);
    return m;
}

Bytes record(const Bytes& message) {
    const auto n = static_cast<std::uint32_t>(message.size());
    Bytes r(4 + message.size());
    r[0] = static_cast<std::uint8_t>(n >> 24);
    r[1] = static_cast<std::uint8_t>(n >> 16);
    r[2] = static_cast<std::uint8_t>(n >> 8);
    r[3] = static_cast<std::uint8_t>(n);
    std::copy(message.begin(), message.end(), r.begin() + 4);
    return r;
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

Target target(const char* ip, std::uint16_t port, std::uint32_t timeout = 1) {
    Target t;
    t.ip = ip;
    t.port = port;
    t.timeout = timeout;
    return t;
}

std::string endpoint(std::uint16_t port) { return "127.0.0.1:" + std::to_string(port); }

long long ms_since(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

template <class Condition>
bool eventually(Condition condition, int timeout_ms = 5000) {
    const auto until = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!condition()) {
        if (Clock::now() > until) return false;
        kr::thread::sleep_ms(5);
    }
    return true;
}

// The text of the SensorError that the call throws.
template <class Call>
std::string failure_of(Call call) {
    try {
        call();
    } catch (const SensorError& e) {
        return e.what();
    }
    return "(no exception)";
}

bool starts_with(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }

// Index of the first log message starting with prefix, or -1.
int find_line(const std::vector<std::string>& lines, const std::string& prefix) {
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (starts_with(lines[i], prefix)) return static_cast<int>(i);
    }
    return -1;
}

std::string without_cr(std::string text) {
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
    return text;
}

// The log's messages with every CR removed. System error texts end in CR LF
// on Windows, and LogCapture::messages() takes a line ending in CR for the
// continuation of the one before it, so the file is split here instead.
std::vector<std::string> log_lines(const LogCapture& log) {
    static const std::regex prefix(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ \[\d+\]: )");
    std::vector<std::string> lines;
    std::istringstream in(without_cr(log.raw()));
    std::string line;
    while (std::getline(in, line)) {
        std::smatch m;
        if (std::regex_search(line, m, prefix)) {
            lines.push_back(m.suffix());
        } else if (!lines.empty()) {
            lines.back() += "\n" + line;
        }
    }
    return lines;
}

bool logged(const LogCapture& log, const std::string& prefix, int timeout_ms = 5000) {
    return eventually([&] { return find_line(log_lines(log), without_cr(prefix)) >= 0; }, timeout_ms);
}

// A processor over a queue of its own. Destruction stops it (joining the
// sender), releases it and destroys the queue, also after a failed assertion.
struct Forwarder {
    explicit Forwarder(std::vector<Target> list, std::uint32_t pause_step_ms = 20, std::uint32_t send_batch = 0)
        : targets(std::move(list)), counters(targets.size()) {
        create(queue, 1 << 20);
        init(processor, &queue, &targets);
        processor.pause_step_ms = pause_step_ms;
        processor.send_batch = send_batch;
        processor.counters = &counters;
    }
    ~Forwarder() {
        stop(processor);
        release(processor);
        destroy(queue);
    }
    void push(const Bytes& m) { kr::forward::push(queue, m.data(), static_cast<std::uint32_t>(m.size())); }

    // sent, resent, connects, breaks, then the connect failures per target.
    std::vector<std::uint64_t> tally() const {
        std::vector<std::uint64_t> out = {counters.sent.get(), counters.resent.get(), counters.connects.get(),
                                          counters.breaks.get()};
        for (const auto& failed : counters.connect_failed) out.push_back(failed.get());
        return out;
    }

    std::vector<Target> targets;
    SenderCounters counters;
    SensorQueue queue;
    SensorQueueProcessor processor;
};

// Allocation faults and a record of realloc sizes, through the C runtime
// seam. Installed before a sender starts and removed after it is joined.
struct AllocationFaults {
    static inline std::atomic<std::size_t> fail_malloc_size{0};
    static inline std::atomic<int> fail_next_reallocs{0};
    static inline std::mutex lock;
    static inline std::vector<std::size_t> realloc_sizes;

    static void* malloc_hook(std::size_t size) {
        if (size == fail_malloc_size) {
            errno = ENOMEM;
            return nullptr;
        }
        return kr::thread::memory_platform_api().malloc(size);
    }
    static void* realloc_hook(void* block, std::size_t size) {
        {
            std::lock_guard<std::mutex> guard(lock);
            realloc_sizes.push_back(size);
        }
        if (fail_next_reallocs > 0) {
            --fail_next_reallocs;
            errno = ENOMEM;
            return nullptr;
        }
        return kr::thread::memory_platform_api().realloc(block, size);
    }

    AllocationFaults() {
        fail_malloc_size = 0;
        fail_next_reallocs = 0;
        realloc_sizes.clear();
        kr::thread::memory_api().malloc = malloc_hook;
        kr::thread::memory_api().realloc = realloc_hook;
    }
    ~AllocationFaults() { kr::thread::memory_api() = kr::thread::memory_platform_api(); }
    std::vector<std::size_t> reallocs() {
        std::lock_guard<std::mutex> guard(lock);
        return realloc_sizes;
    }
};

// ---- Real connections on the loopback interface ----

TEST(ForwarderLoopback, SendsHelloThenLengthPrefixedRecordsAndClosesAtStop) {
    LogCapture log;
    LoopbackListener collector;
    Forwarder f({target("127.0.0.1", collector.port())});
    start(f.processor);
    ASSERT_TRUE(collector.accept(5000));
    EXPECT_EQ(kHello, collector.read(kHello.size(), 5000));

    const Bytes m = message_of(39, 1);
    f.push(m);
    const Bytes expected = concat({{0x00, 0x00, 0x00, 0x27}, m});
    EXPECT_EQ(expected, collector.read(expected.size(), 5000));

    const auto lines = log_lines(log);
    int connecting = find_line(lines, "Connecting to " + endpoint(collector.port()));
    int connected = find_line(lines, "Connected to " + endpoint(collector.port()));
    EXPECT_EQ(0, connecting);
    EXPECT_EQ(1, connected);

    // Stop while the sender waits for data: no new message is needed, and
    // the connection is shut down and closed.
    const auto t0 = Clock::now();
    stop(f.processor);
    EXPECT_LT(ms_since(t0), 3000);
    EXPECT_EQ(nullptr, f.processor.thread);
    EXPECT_TRUE(collector.peer_closed(2000));
}

TEST(ForwarderLoopback, BatchesPutTheSameBytesOnTheWire) {
    // Queued before the start, so batches form: an empty message (never
    // sent), one that outgrows the first buffer, small ones. Only one empty
    // message: the record-by-record sender waits after popping one, which the
    // pushes' pending signal ends once; a second would hold the rest back.
    const std::vector<Bytes> queued = {message_of(39, 1), {}, message_of(300, 2), message_of(5000, 3),
                                       message_of(1, 4), message_of(96, 5), message_of(96, 6)};
    Bytes expected = kHello;
    for (const Bytes& m : queued) {
        if (!m.empty()) expected = concat({expected, record(m)});
    }
    // 1 and 100 make batches of one record mostly; 65536 takes everything at
    // once; the largest is more than the 1 MiB ring can ever hold.
    for (std::uint32_t batch : {0u, 1u, 100u, 65536u, 2147483647u}) {
        SCOPED_TRACE(batch);
        LoopbackListener collector;
        Forwarder f({target("127.0.0.1", collector.port())}, 20, batch);
        for (const Bytes& m : queued) f.push(m);
        start(f.processor);
        ASSERT_TRUE(collector.accept(5000));
        EXPECT_EQ(expected, collector.read(expected.size(), 5000));
        // A lone message goes out at once, without waiting for more.
        for (std::uint8_t seed = 10; seed < 13; ++seed) {
            f.push(message_of(seed * 5u, seed));
            EXPECT_EQ(record(message_of(seed * 5u, seed)), collector.read(4 + seed * 5u, 5000));
        }
        stop(f.processor);
        EXPECT_LE(f.processor.buffer_size, 1 << 20) << "a buffer larger than the ring";
    }
}

struct GrowthCase {
    std::size_t size;
    std::vector<std::size_t> reallocs;
};

TEST(ForwarderLoopback, LargeMessagesGrowTheBufferByDoubling) {
    for (const GrowthCase& c : {GrowthCase{5000, {8192}}, GrowthCase{20000, {8192, 16384, 32768}}}) {
        SCOPED_TRACE(c.size);
        AllocationFaults faults;
        LoopbackListener collector;
        {
            Forwarder f({target("127.0.0.1", collector.port())});
            const Bytes big = message_of(c.size, 3), later = message_of(c.size - 1, 9);
            f.push(big);
            start(f.processor);
            ASSERT_TRUE(collector.accept(5000));
            EXPECT_EQ(concat({kHello, record(big)}), collector.read(kHello.size() + 4 + big.size(), 5000));
            // The grown buffer stays: a later message of the same size needs no realloc.
            f.push(later);
            EXPECT_EQ(record(later), collector.read(4 + later.size(), 5000));
            stop(f.processor);
            EXPECT_EQ(static_cast<std::int32_t>(c.reallocs.back()), f.processor.buffer_size);
        }
        EXPECT_EQ(c.reallocs, faults.reallocs());
    }
}

TEST(ForwarderLoopback, RefusedTargetTimesOutAndTheNextIsTriedAtOnce) {
    LogCapture log;
    LoopbackListener second;
    const std::uint16_t refused = kr::test::refused_port();
    // The real pause: a pause between the two targets would show as 10 s.
    Forwarder f({target("127.0.0.1", refused, 1), target("127.0.0.1", second.port(), 1)}, kPauseStepMs);
    const auto t0 = Clock::now();
    start(f.processor);
    ASSERT_TRUE(second.accept(5000));
    const auto elapsed = ms_since(t0);
    EXPECT_GE(elapsed, 900) << "a refused connection shows only as a time-out";
    EXPECT_LT(elapsed, 3000);
    ASSERT_EQ(kHello, second.read(kHello.size(), 5000));

    const std::vector<std::string> expected = {
        "Connecting to " + endpoint(refused),
        "ERROR - Connect to " + endpoint(refused) + " failed: select() timed out",
        "Connecting to " + endpoint(second.port()),
        "Connected to " + endpoint(second.port()),
    };
    EXPECT_EQ(expected, log_lines(log));
    EXPECT_EQ((std::vector<std::uint64_t>{0, 0, 1, 0, 1, 0}), f.tally());
}

TEST(ForwarderLoopback, BrokenConnectionResendsTheMessageInHandAfterThePause) {
    LogCapture log;
    LoopbackListener first, second;
    Forwarder f({target("127.0.0.1", first.port()), target("127.0.0.1", second.port())}, 50);
    start(f.processor);
    ASSERT_TRUE(first.accept(5000));
    ASSERT_EQ(kHello, first.read(kHello.size(), 5000));
    const Bytes a = message_of(39, 1), b = message_of(300, 2), c = message_of(40, 3);
    f.push(a);
    ASSERT_EQ(record(a), first.read(4 + a.size(), 5000));

    first.drop(true);
    // Probes go out one by one until a send meets the reset: that probe is the
    // message in hand. Probes sent before the reset arrived are lost with the
    // connection.
    Bytes in_hand;
    auto t0 = Clock::now();
    std::uint64_t probes = 0;
    for (int i = 0; i < 50 && in_hand.empty(); ++i, ++probes) {
        const Bytes probe = message_of(20, static_cast<std::uint8_t>(100 + i));
        t0 = Clock::now();
        f.push(probe);
        if (logged(log, "ERROR - Send data to " + endpoint(first.port()) + " failed: ", 200)) in_hand = probe;
    }
    ASSERT_FALSE(in_hand.empty()) << "no send met the reset";
    f.push(b);
    f.push(c);
    // After the pause the round starts again with the first target; the
    // second one is not tried after a broken connection.
    ASSERT_TRUE(first.accept(5000));
    EXPECT_GE(ms_since(t0), 10 * 50 - 50);
    EXPECT_EQ(concat({kHello, record(in_hand), record(b), record(c)}),
              first.read(kHello.size() + 12 + in_hand.size() + b.size() + c.size(), 5000));
    EXPECT_FALSE(second.accept(0));
    EXPECT_EQ(-1, find_line(log_lines(log), "Connecting to " + endpoint(second.port())));
    // The message in hand counts once, when it has gone out whole; a probe
    // lost with the connection counts as sent.
    EXPECT_TRUE(eventually([&] { return f.counters.sent.get() == 3 + probes; }));
    EXPECT_EQ((std::vector<std::uint64_t>{3 + probes, 1, 2, 1, 0, 0}), f.tally());
    EXPECT_EQ(12 + a.size() + b.size() + c.size() + probes * (4 + 20), f.counters.sent_bytes.get());
    EXPECT_GE(f.counters.paused_ms.get(), 10u * 50 - 50);
}

TEST(ForwarderLoopback, StopDuringThePauseEndsWithinASecond) {
    LogCapture log;
    Forwarder f({target("127.0.0.1", kr::test::refused_port(), 1)}, kPauseStepMs);
    start(f.processor);
    ASSERT_TRUE(logged(log, "ERROR - Connect to "));
    kr::thread::sleep_ms(200);
    const auto t0 = Clock::now();
    stop(f.processor);
    EXPECT_LT(ms_since(t0), 3000);
    auto lines = log_lines(log);
    EXPECT_EQ(2u, lines.size()) << "one attempt, then the pause only";
}

TEST(ForwarderLoopback, NoTargetsOnlyPausesSilently) {
    LogCapture log;
    Forwarder f({}, kPauseStepMs);
    start(f.processor);
    kr::thread::sleep_ms(300);
    const auto t0 = Clock::now();
    stop(f.processor);
    EXPECT_LT(ms_since(t0), 3000);
    EXPECT_TRUE(log_lines(log).empty());
}

TEST(ForwarderLoopback, SendToAClosedPeerFailsWithoutKillingTheProcess) {
    LoopbackListener collector;
    TargetConnection c;
    c.connect_to("127.0.0.1", collector.port(), 1);
    ASSERT_TRUE(collector.accept(5000));
    collector.drop(false);  // an orderly close: the first sends may still go out
    const Bytes data = message_of(1000, 4);
    std::string failure;
    for (int i = 0; i < 100 && failure.empty(); ++i) {
        try {
            c.send_all(data.data(), data.size());
            kr::thread::sleep_ms(10);
        } catch (const SensorError& e) {
            failure = e.what();
        }
    }
    EXPECT_TRUE(starts_with(failure, "send() failed: ") || failure == "select() timed out") << failure;
}

TEST(ForwarderLoopback, TimeOutsPastTheSelectRangeStillConnectAndSend) {
    LoopbackListener collector;
    for (std::uint32_t timeout : {0x80000000u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(timeout);
        TargetConnection c;
        const Bytes data = message_of(10, 1);
        EXPECT_EQ("(no exception)", failure_of([&] {
            c.connect_to("127.0.0.1", collector.port(), timeout);
            c.send_all(data.data(), data.size());
        }));
        ASSERT_TRUE(collector.accept(5000));
        EXPECT_EQ(data, collector.read(10, 5000));
    }
}

// ---- TLS to a real OpenSSL peer (Linux) ----

kr::config::TlsSettings tls_settings(const kr::test::TestPki& pki, const std::string& name = "", bool client = false) {
    return {true, pki.pem("ca"), name, client ? pki.pem("client") : "", client ? pki.key("client") : "", ""};
}

TEST(ForwarderTls, SessionsCarryTheSameBytesAsPlainTcp) {
    if (!kr::test::TlsPeer::available()) GTEST_SKIP() << "no TLS peer in this build";
    const kr::test::TestPki pki;
    const std::vector<Bytes> queued = {message_of(39, 1), message_of(5000, 3), message_of(96, 5)};
    Bytes expected = kHello;
    for (const Bytes& m : queued) expected = concat({expected, record(m)});
    // The address in the certificate record by record; a configured name with
    // batches; mutual TLS, the peer requiring a certificate its CA signed.
    using Case = std::tuple<std::uint32_t, std::string, bool>;
    for (const auto& [batch, name, client] :
         std::vector<Case>{{0, "", false}, {65536, "collector.test", false}, {65536, "", true}}) {
        SCOPED_TRACE(batch);
        LoopbackListener collector;
        kr::test::TlsPeer peer(pki.pem("server"), pki.key("server"), client ? pki.pem("ca") : "", collector.port());
        const auto tls = tls_settings(pki, name, client);
        Forwarder f({target("127.0.0.1", peer.port())}, 20, batch);
        f.processor.tls = &tls;
        for (const Bytes& m : queued) f.push(m);
        start(f.processor);
        ASSERT_TRUE(collector.accept(5000));
        EXPECT_EQ(expected, collector.read(expected.size(), 5000));
        // A stop ends the session in order (close_notify): the relay closes.
        stop(f.processor);
        EXPECT_TRUE(collector.peer_closed(2000));
    }
}

TEST(ForwarderTls, FailedHandshakesFailOverToTheNextTarget) {
    if (!kr::test::TlsPeer::available()) GTEST_SKIP() << "no TLS peer in this build";
    LogCapture log;
    const kr::test::TestPki pki;
    LoopbackListener collector, silent;  // silent: takes the connection, never answers
    kr::test::TlsPeer untrusted(pki.pem("stranger"), pki.key("stranger"));
    kr::test::TlsPeer wrong_name(pki.pem("named"), pki.key("named"));
    kr::test::TlsPeer wants_client(pki.pem("server"), pki.key("server"), pki.pem("ca"));
    kr::test::TlsPeer good(pki.pem("server"), pki.key("server"), "", collector.port());
    const auto tls = tls_settings(pki);
    Forwarder f({target("127.0.0.1", silent.port()), target("127.0.0.1", untrusted.port()),
                 target("127.0.0.1", wrong_name.port()), target("127.0.0.1", wants_client.port()),
                 target("127.0.0.1", good.port())},
                kPauseStepMs);
    f.processor.tls = &tls;
    const auto t0 = Clock::now();
    start(f.processor);
    ASSERT_TRUE(collector.accept(5000)) << log.raw();
    // The stalled handshake takes the 1-second time-out; refusals take no wait.
    EXPECT_GE(ms_since(t0), 900);
    EXPECT_LT(ms_since(t0), 3000);
    EXPECT_EQ(kHello, collector.read(kHello.size(), 5000));
    std::vector<std::string> expected = {"Connecting with TLS: CA " + tls.ca +
                                         ", name target address, client certificate none"};
    const std::string refused = "collector certificate not accepted: ";
    for (const auto& [port, why] : std::vector<std::pair<std::uint16_t, std::string>>{
             {silent.port(), "select() timed out"},
             {untrusted.port(), refused + "unable to get local issuer certificate"},
             {wrong_name.port(), refused + "IP address mismatch"},
             {wants_client.port(), "error:0A00045C:SSL routines::tlsv13 alert certificate required"}}) {
        expected.push_back("Connecting to " + endpoint(port));
        expected.push_back("ERROR - Connect to " + endpoint(port) + " failed: TLS handshake failed: " + why);
    }
    expected.push_back("Connecting to " + endpoint(good.port()));
    expected.push_back("Connected to " + endpoint(good.port()));
    EXPECT_EQ(expected, log_lines(log));
    EXPECT_EQ((std::vector<std::uint64_t>{0, 0, 1, 0, 1, 1, 1, 1, 0}), f.tally());
}

// ---- The sender and its connection against a scripted socket layer ----

// A socket layer that records every call and answers from a script. The
// sender thread and the test thread share it, hence the lock.
struct FakeNet {
    std::mutex lock;
    std::vector<std::string> calls;
    Socket next_socket = 100;
    bool socket_fails = false;
    int ioctl_result = 0;
    int connect_result = 0;
    int select_result = 1;
    // Per select call (counted from 0): wait this many ms, then answer this.
    std::map<int, std::pair<int, int>> select_plan;
    std::atomic<int> selects{0};
    int error = 0;
    // Per send call (counted from 0): -1 fails, n >= 0 accepts at most n bytes.
    std::map<int, int> send_plan;
    int sends = 0;
    std::map<Socket, Bytes> streams;
    SocketAddress address;
    int address_length = 0;
    TimeLimit limit;
    int nfds = 0;
    std::uint32_t nonblocking = 0;

    static FakeNet* current;

    FakeNet() {
        current = this;
        NetApi& api = net_api();
        api.socket = [](int family, int type, int protocol) {
            auto& n = *current;
            std::lock_guard<std::mutex> g(n.lock);
            n.calls.push_back("socket " + std::to_string(family == kAfInet && type == kSockStream &&
                                                         protocol == kIpProtoTcp));
            return n.socket_fails ? kInvalidSocket : n.next_socket++;
        };
        api.ioctlsocket = [](Socket s, long command, std::uint32_t* argument) {
            auto& n = *current;
            std::lock_guard<std::mutex> g(n.lock);
            n.calls.push_back("ioctlsocket " + std::to_string(s) + (command == kFionbio ? " FIONBIO" : " ?"));
            n.nonblocking = *argument;
            return n.ioctl_result;
        };
        api.connect = [](Socket s, const SocketAddress* address, int length) {
            auto& n = *current;
            std::lock_guard<std::mutex> g(n.lock);
            n.calls.push_back("connect " + std::to_string(s));
            n.address = *address;
            n.address_length = length;
            return n.connect_result;
        };
        api.select_write = [](int nfds, Socket s, const TimeLimit* limit) {
            auto& n = *current;
            std::pair<int, int> answer{0, n.select_result};
            {
                std::lock_guard<std::mutex> g(n.lock);
                n.calls.push_back("select " + std::to_string(s));
                n.nfds = nfds;
                n.limit = *limit;
                auto plan = n.select_plan.find(n.selects++);
                if (plan != n.select_plan.end()) answer = plan->second;
            }
            kr::thread::sleep_ms(static_cast<std::uint32_t>(answer.first));
            return answer.second;
        };
        api.send = [](Socket s, const char* data, int length, int flags) {
            auto& n = *current;
            std::lock_guard<std::mutex> g(n.lock);
            n.calls.push_back("send " + std::to_string(s) + " " + std::to_string(length) + " " + std::to_string(flags));
            auto plan = n.send_plan.find(n.sends++);
            int accepted = plan == n.send_plan.end() ? length : std::min(plan->second, length);
            if (accepted > 0) n.streams[s].insert(n.streams[s].end(), data, data + accepted);
            return accepted;
        };
        api.last_error = [] { return current->error; };
        api.shutdown = [](Socket s, int how) {
            auto& n = *current;
            std::lock_guard<std::mutex> g(n.lock);
            n.calls.push_back("shutdown " + std::to_string(s) + (how == kShutdownBoth ? " both" : " ?"));
            return 0;
        };
        api.closesocket = [](Socket s) {
            auto& n = *current;
            std::lock_guard<std::mutex> g(n.lock);
            n.calls.push_back("closesocket " + std::to_string(s));
            return 0;
        };
    }
    ~FakeNet() {
        net_api() = net_platform_api();
        current = nullptr;
    }
    Bytes stream(Socket s) {
        std::lock_guard<std::mutex> g(lock);
        return streams[s];
    }
    std::vector<std::string> take_calls() {
        std::lock_guard<std::mutex> g(lock);
        return std::exchange(calls, {});
    }
};
FakeNet* FakeNet::current = nullptr;

TEST(TargetConnection, ConnectsWithoutBlockingAndWaitsForWritability) {
    FakeNet net;
    net.connect_result = kSocketError;
    net.error = kWouldBlock;  // under way: not a failure
    {
        TargetConnection c;
        c.connect_to("10.1.2.3", 8100, 7);
        EXPECT_EQ(std::vector<std::string>({"socket 1", "ioctlsocket 100 FIONBIO", "connect 100", "select 100"}),
                  net.take_calls());
        EXPECT_EQ(1u, net.nonblocking);
        EXPECT_EQ(kAfInet, net.address.family);
        EXPECT_EQ(net_platform_api().htons(8100), net.address.port);
        EXPECT_EQ(net_platform_api().inet_addr("10.1.2.3"), net.address.address);
        EXPECT_EQ(Bytes(8, 0), Bytes(net.address.zero, net.address.zero + 8));
        EXPECT_EQ(16, net.address_length);
        EXPECT_EQ(1, net.nfds);
        EXPECT_EQ(7, net.limit.seconds);
        EXPECT_EQ(0, net.limit.microseconds);

        // An immediate success also waits; the old socket is closed first.
        net.connect_result = 0;
        c.connect_to("10.1.2.4", 8101, 2);
        EXPECT_EQ(std::vector<std::string>({"shutdown 100 both", "closesocket 100", "socket 1",
                                            "ioctlsocket 101 FIONBIO", "connect 101", "select 101"}),
                  net.take_calls());
        // The longest wait a 32-bit timeval holds, for time-outs past it.
        c.connect_to("10.1.2.5", 8102, 0xFFFFFFFFu);
        EXPECT_EQ(2147483647, net.limit.seconds);
        net.take_calls();
    }
    EXPECT_EQ(std::vector<std::string>({"shutdown 102 both", "closesocket 102"}), net.take_calls());
}

TEST(TargetConnection, ConnectFailuresGiveTheirTexts) {
    const int code = 10061;
    const std::string text = kr::error::system_error_text(code);
    struct Case {
        const char* name;
        void (*script)(FakeNet&);
        std::string expected;
        bool socket_left;
    };
    const Case cases[] = {
        {"socket", [](FakeNet& n) { n.socket_fails = true; }, "socket() failed: " + text, false},
        {"ioctl", [](FakeNet& n) { n.ioctl_result = kSocketError; }, "ioctlsocket(FIONBIO) failed: " + text, true},
        {"connect", [](FakeNet& n) { n.connect_result = kSocketError; }, "connect(10.1.2.3) failed: " + text, true},
        {"select", [](FakeNet& n) { n.select_result = kSocketError; }, "select() failed: " + text, true},
        {"timeout", [](FakeNet& n) { n.select_result = 0; }, "select() timed out", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeNet net;
        net.error = code;
        c.script(net);
        TargetConnection connection;
        EXPECT_EQ(c.expected, failure_of([&] { connection.connect_to("10.1.2.3", 9, 1); }));
        // A socket made by a failed attempt is kept until the next close.
        EXPECT_EQ(c.socket_left, connection.socket() != kInvalidSocket);
        net.take_calls();
        connection.close();
        EXPECT_EQ(c.socket_left ? 2u : 0u, net.take_calls().size());
    }
}

TEST(TargetConnection, SendAllSelectsBeforeEverySendUntilAllIsOut) {
    FakeNet net;
    TargetConnection c;
    c.connect_to("10.1.2.3", 9, 1);
    net.take_calls();
    const Bytes data = message_of(10, 5);

    c.send_all(data.data(), 0);
    EXPECT_TRUE(net.take_calls().empty()) << "0 bytes: neither select nor send";

    net.send_plan = {{0, 3}, {1, 4}};
    c.send_all(data.data(), data.size());
    EXPECT_EQ(std::vector<std::string>(
                  {"select 100", "send 100 10 0", "select 100", "send 100 7 0", "select 100", "send 100 3 0"}),
              net.take_calls());
    EXPECT_EQ(data, net.stream(100));
}

TEST(TargetConnection, SendFailuresGiveTheirTexts) {
    FakeNet net;
    TargetConnection c;
    c.connect_to("10.1.2.3", 9, 1);
    const Bytes data = message_of(10, 5);
    const auto send = [&] { c.send_all(data.data(), data.size()); };
    net.send_plan = {{0, 0}, {1, kSocketError}};
    EXPECT_EQ(std::string("send() failed: socket closed"), failure_of(send));
    net.error = kWouldBlock;  // a full send buffer is a failure too
    EXPECT_EQ(kr::error::failure_text("send()", kWouldBlock), failure_of(send));
}

TEST(Sender, MessageInHandIsResentWholeAfterAnyBreak) {
    LogCapture log;
    FakeNet net;
    net.error = 10054;
    // Sends: 0 hello, 1 length, 2 part of the payload, 3 fails; on the next
    // connection 4, the hello, fails; the third connection goes through.
    net.send_plan = {{2, 30}, {3, kSocketError}, {4, kSocketError}};
    Forwarder f({target("10.0.0.1", 9)}, 1);
    const Bytes b = message_of(100, 7), c = message_of(20, 8);
    f.push(b);
    start(f.processor);
    ASSERT_TRUE(eventually([&] { return net.stream(102).size() == kHello.size() + 4 + b.size(); }));
    f.push(c);
    ASSERT_TRUE(eventually([&] { return net.stream(102).size() == kHello.size() + 8 + b.size() + c.size(); }));
    stop(f.processor);

    // The first connection carried the hello, the length and 30 bytes of the payload.
    Bytes sent_first = concat({kHello, record(b)});
    sent_first.resize(kHello.size() + 4 + 30);
    EXPECT_EQ(sent_first, net.stream(100));
    EXPECT_TRUE(net.stream(101).empty());
    EXPECT_EQ(concat({kHello, record(b), record(c)}), net.stream(102));
    const std::string error =
        without_cr("ERROR - Send data to 10.0.0.1:9 failed: " + kr::error::failure_text("send()", 10054));
    auto lines = log_lines(log);
    EXPECT_EQ(2, std::count(lines.begin(), lines.end(), error));
    // Each broken socket is closed by the next attempt, the last one at stop.
    auto calls = net.take_calls();
    for (const char* closed : {"closesocket 100", "closesocket 101", "closesocket 102"}) {
        EXPECT_EQ(1, std::count(calls.begin(), calls.end(), closed)) << closed;
    }
    // A failed hello breaks a connection too; the resend counts once.
    EXPECT_EQ((std::vector<std::uint64_t>{2, 1, 3, 2, 0}), f.tally());
    EXPECT_EQ(8 + b.size() + c.size(), f.counters.sent_bytes.get());
}

TEST(Sender, FailedGrowthMarksNothingAndTheMessageStaysQueued) {
    LogCapture log;
    AllocationFaults faults;
    faults.fail_next_reallocs = 1;
    FakeNet net;
    Forwarder f({target("10.0.0.1", 9)}, 1);
    const Bytes big = message_of(5000, 1), small = message_of(10, 2);
    f.push(big);
    f.push(small);
    start(f.processor);
    const std::size_t total = kHello.size() + 8 + big.size() + small.size();
    ASSERT_TRUE(eventually([&] { return net.stream(101).size() == total; }));
    stop(f.processor);
    EXPECT_EQ(kHello, net.stream(100));
    EXPECT_EQ(concat({kHello, record(big), record(small)}), net.stream(101));
    EXPECT_EQ(2, find_line(log_lines(log), without_cr("ERROR - Send data to 10.0.0.1:9 failed: " +
                                                      kr::error::crt_failure_text("realloc(8192)", ENOMEM))));
    EXPECT_EQ(std::vector<std::size_t>({8192, 8192}), faults.reallocs());
    EXPECT_EQ((std::vector<std::uint64_t>{2, 0, 2, 1, 0}), f.tally());
}

// The lengths offered by the sends on one socket, in call order.
std::vector<int> send_sizes(const std::vector<std::string>& calls, Socket socket) {
    std::vector<int> sizes;
    const std::string prefix = "send " + std::to_string(socket) + " ";
    for (const std::string& call : calls) {
        if (starts_with(call, prefix)) sizes.push_back(std::stoi(call.substr(prefix.size())));
    }
    return sizes;
}

TEST(Sender, BatchInHandIsResentWholeAfterABreak) {
    LogCapture log;
    FakeNet net;
    net.error = 10054;
    // Sends: 0 hello, 1 part of the first batch, 2 fails; the next connection takes everything.
    net.send_plan = {{1, 30}, {2, kSocketError}};
    const Bytes a = message_of(100, 1), b = message_of(20, 2), c = message_of(50, 3);
    // a and b make 128 bytes of records, so c does not join their batch.
    Forwarder f({target("10.0.0.1", 9)}, 1, 130);
    for (const Bytes& m : {a, b, c}) f.push(m);
    start(f.processor);
    const Bytes expected = concat({kHello, record(a), record(b), record(c)});
    ASSERT_TRUE(eventually([&] { return net.stream(101).size() == expected.size(); }));
    stop(f.processor);

    Bytes sent_first = concat({kHello, record(a), record(b)});
    sent_first.resize(kHello.size() + 30);
    EXPECT_EQ(sent_first, net.stream(100));
    EXPECT_EQ(expected, net.stream(101));
    const auto calls = net.take_calls();
    EXPECT_EQ(std::vector<int>({10, 128, 98}), send_sizes(calls, 100));
    EXPECT_EQ(std::vector<int>({10, 128, 54}), send_sizes(calls, 101)) << "one send per batch";
    // Counted per record: the resent batch's two, then c.
    EXPECT_EQ((std::vector<std::uint64_t>{3, 2, 2, 1, 0}), f.tally());
    EXPECT_EQ(128u + 54u, f.counters.sent_bytes.get());
    auto lines = log_lines(log);
    EXPECT_EQ(1, std::count(lines.begin(), lines.end(),
                            without_cr("ERROR - Send data to 10.0.0.1:9 failed: " +
                                       kr::error::failure_text("send()", 10054))));
}

TEST(Sender, RecordLargerThanTheBatchGoesAlone) {
    FakeNet net;
    Forwarder f({target("10.0.0.1", 9)}, 1, 100);
    // The 5000-byte message also outgrows the first 4096-byte buffer.
    const std::vector<Bytes> messages = {message_of(20, 1), message_of(5000, 2), message_of(20, 3), message_of(20, 4)};
    Bytes expected = kHello;
    for (const Bytes& m : messages) {
        f.push(m);
        expected = concat({expected, record(m)});
    }
    start(f.processor);
    ASSERT_TRUE(eventually([&] { return net.stream(100).size() == expected.size(); }));
    stop(f.processor);
    EXPECT_EQ(expected, net.stream(100));
    EXPECT_EQ(std::vector<int>({10, 24, 5004, 48}), send_sizes(net.take_calls(), 100));
    EXPECT_EQ((std::vector<std::uint64_t>{4, 0, 1, 0, 0}), f.tally());
    EXPECT_EQ(expected.size() - kHello.size(), f.counters.sent_bytes.get());
}

TEST(Sender, BatchesStayWithinTheBufferWhenItCannotGrowToTheBatchSize) {
    LogCapture log;
    AllocationFaults faults;
    faults.fail_next_reallocs = 1;
    FakeNet net;
    Forwarder f({target("10.0.0.1", 9)}, 1, 65536);
    // 40 records of 104 bytes: more than the first 4096-byte buffer holds.
    for (std::uint8_t i = 0; i < 40; ++i) f.push(message_of(100, i));
    start(f.processor);
    ASSERT_TRUE(eventually([&] { return net.stream(100).size() == kHello.size() + 40 * 104; }));
    stop(f.processor);
    EXPECT_EQ(std::vector<int>({10, 39 * 104, 104}), send_sizes(net.take_calls(), 100));
    const std::vector<std::string> expected = {
        "Sending batches of up to 65536 bytes",
        without_cr("ERROR - Send batches limited to 4096 bytes: " + kr::error::crt_failure_text("realloc(8192)", ENOMEM)),
        "Connecting to 10.0.0.1:9", "Connected to 10.0.0.1:9"};
    EXPECT_EQ(expected, log_lines(log));
}

TEST(Sender, StopEndsTheSenderInEveryState) {
    enum State { kWaiting, kConnecting, kSending, kPausing };
    const char* names[] = {"waiting for data", "connecting", "in a send", "in the pause"};
    const Bytes m = message_of(100, 1);
    for (std::uint32_t batch : {0u, 65536u}) {
        for (int state = kWaiting; state <= kPausing; ++state) {
            SCOPED_TRACE(std::string(names[state]) + ", send-batch " + std::to_string(batch));
            LogCapture log;
            FakeNet net;
            // Select 0 waits for the connection, 1 for the hello, 2 for the record.
            if (state == kConnecting) net.select_plan = {{0, {300, 0}}};
            if (state == kSending) net.select_plan = {{2, {300, 1}}};
            if (state == kPausing) net.select_plan = {{0, {0, 0}}};
            Forwarder f({target("10.0.0.1", 9)}, kPauseStepMs, batch);
            const bool sends = state == kWaiting || state == kSending;
            if (sends) f.push(m);
            start(f.processor);
            if (state == kWaiting) {
                ASSERT_TRUE(eventually([&] { return net.stream(100).size() == kHello.size() + 4 + m.size(); }));
            } else if (state == kPausing) {
                ASSERT_TRUE(logged(log, "ERROR - Connect to 10.0.0.1:9 failed: select() timed out"));
            } else {
                ASSERT_TRUE(eventually([&] { return net.selects > (state == kConnecting ? 0 : 2); }));
            }
            const auto t0 = Clock::now();
            stop(f.processor);
            EXPECT_LT(ms_since(t0), 3000);
            EXPECT_EQ(nullptr, f.processor.thread);
            // A send under way is finished, never cut; nothing is tried again.
            EXPECT_EQ(sends ? concat({kHello, record(m)}) : Bytes(), net.stream(100));
            const auto lines = log_lines(log);
            EXPECT_EQ(1, std::count(lines.begin(), lines.end(), "Connecting to 10.0.0.1:9"));
            const auto calls = net.take_calls();
            ASSERT_FALSE(calls.empty());
            EXPECT_EQ("closesocket 100", calls.back());
        }
    }
}

// ---- The processor's own operations ----

TEST(Processor, GrowBufferDoublesAndKeepsTheOldBufferOnFailure) {
    AllocationFaults faults;
    SensorQueueProcessor p;
    init(p, nullptr, nullptr);
    faults.fail_malloc_size = 4096;
    EXPECT_EQ(kr::error::crt_failure_text("malloc(4096)", ENOMEM), failure_of([&] { grow_buffer(p); }));
    EXPECT_EQ(nullptr, p.buffer);
    EXPECT_EQ(0, p.buffer_size);

    faults.fail_malloc_size = 0;
    grow_buffer(p);
    EXPECT_EQ(4096, p.buffer_size);
    grow_buffer(p);
    EXPECT_EQ(8192, p.buffer_size);
    std::uint8_t* kept = p.buffer;
    faults.fail_next_reallocs = 1;
    EXPECT_EQ(kr::error::crt_failure_text("realloc(16384)", ENOMEM), failure_of([&] { grow_buffer(p); }));
    EXPECT_EQ(kept, p.buffer);
    EXPECT_EQ(8192, p.buffer_size);
    release(p);
    EXPECT_EQ(nullptr, p.buffer);
    EXPECT_EQ(0, p.buffer_size);
}

TEST(Processor, GrowBufferRefusesSizesPastTheSigned32BitRange) {
    AllocationFaults faults;
    SensorQueueProcessor p;
    init(p, nullptr, nullptr);
    grow_buffer(p);
    std::uint8_t* kept = p.buffer;
    p.buffer_size = 1 << 30;  // the last doubling that still fits
    EXPECT_EQ(kr::error::crt_failure_text("realloc(2147483648)", ENOMEM), failure_of([&] { grow_buffer(p); }));
    EXPECT_TRUE(faults.reallocs().empty()) << "the runtime is never asked";
    EXPECT_EQ(kept, p.buffer);
    EXPECT_EQ(1 << 30, p.buffer_size);
    release(p);
}

int failing_thread_create(kr::thread::ThreadHandle*, kr::thread::ThreadRoutine, void*) { return 11; }

TEST(Processor, StartFailureGivesTheThreadCreationText) {
    Forwarder f({});
    kr::thread::thread_api().create = failing_thread_create;
    EXPECT_EQ(kr::error::failure_text("pthread_create()", 11), failure_of([&] { start(f.processor); }));
    kr::thread::thread_api() = kr::thread::thread_platform_api();
    EXPECT_EQ(nullptr, f.processor.thread);
    stop(f.processor);  // nothing to stop
}

TEST(Processor, SenderEndsWhenItsFirstAllocationsFail) {
    for (std::size_t size : {kHelloSize, static_cast<std::size_t>(kFirstBufferSize)}) {
        SCOPED_TRACE(size);
        LogCapture log;
        LoopbackListener collector;
        AllocationFaults faults;
        faults.fail_malloc_size = size;
        Forwarder f({target("127.0.0.1", collector.port())});
        start(f.processor);
        const std::string call = "malloc(" + std::to_string(size) + ")";
        EXPECT_TRUE(logged(log, "ERROR - Sensor queue processor failed: " + kr::error::crt_failure_text(call, ENOMEM)));
        EXPECT_FALSE(collector.accept(200)) << "the thread must have ended";
        stop(f.processor);
        EXPECT_EQ(1u, log_lines(log).size());
    }
}

}  // namespace
}  // namespace kr::forward
