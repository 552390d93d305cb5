#include "forwarder_helpers.h"

namespace kr::forward {
namespace {

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
