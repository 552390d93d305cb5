#include "forwarder_helpers.h"

namespace kr::forward {
namespace {

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

}  // namespace
}  // namespace kr::forward
