// The agent program replaying a large capture to a collector that misbehaves:
// one that is killed and restarted many times on the same port, and one that
// reads very slowly. Every DNS message carries its sequence number in its
// question name, so the collector can tell exactly what arrived, twice, out
// of order or never, and where the missing ones were lost:
// - in socket buffers: between the last record of a killed connection and
//   the first record of the next one (bytes the agent had handed to its
//   socket when the collector died);
// - by the queue, which drops its oldest records when full: a gap inside one
//   connection, or after the resent message at the start of a new one.
// RESTART_TEST_MESSAGES, RESTART_TEST_RESTARTS, RESTART_TEST_PER_CONNECTION
// and RESTART_TEST_HANG_EVERY (every n-th restart is a hang rather than a
// kill) make the restart run longer.
#include "collector_load.h"

namespace {

TEST(CollectorLoad, RestartedCollectorGetsWholeOrderedRecordsAndTheResentMessageFirst) {
    // A hang lets the agent fill its socket buffers first (up to 4 MB on
    // loopback, some 65000 records) before its send times out: the capture
    // must outlast that, or the agent would be left waiting for data.
    const int total = env_number("RESTART_TEST_MESSAGES", 150000);
    const int restarts = env_number("RESTART_TEST_RESTARTS", 3);
    const int per_connection = env_number("RESTART_TEST_PER_CONNECTION", 5000);
    const int hang_every = env_number("RESTART_TEST_HANG_EVERY", 2);
    kr::test::TempDir dir;
    write_capture(dir.file("load.pcap"), total);

    Collector collector;
    collector.listen(64 * 1024);
    AgentProcess agent(dir);
    agent.start("logging on\ntarget 127.0.0.1:" + std::to_string(collector.port()) + " 1\ncapture file:" +
                dir.file("load.pcap") + "\n");

    Tally tally(total);
    double longest_reconnect = 0;
    int hard_kills = 0, stalls = 0, resent_checked = 0;
    long last_complete_before = -1;  // stall restarts: the message in hand comes next
    bool expect_exact_resend = false;
    Clock::time_point killed = Clock::now();
    for (int connection = 0; connection <= restarts; ++connection) {
        SCOPED_TRACE("connection " + std::to_string(connection));
        ASSERT_TRUE(collector.accept(connection == 0 ? 10000 : 15000)) << "the agent did not come back";
        if (connection > 0) longest_reconnect = std::max(longest_reconnect, seconds_since(killed));
        std::vector<Bytes> records;
        std::size_t taken = 0;
        long events = 0;
        const bool last = connection == restarts;
        auto deadline = Clock::now() + std::chrono::seconds(last ? 120 : 60);
        bool open = true;
        while (open && Clock::now() < deadline) {
            open = collector.read(records, 100) >= 0;
            for (; taken < records.size(); ++taken) {
                if (taken == 0) {
                    ASSERT_EQ(kHello, records[0]) << "the connection does not open with the hello";
                    continue;
                }
                const long seq = sequence_of(records[taken]);
                if (events == 0 && expect_exact_resend) {
                    EXPECT_EQ(last_complete_before + 1, seq) << "the message in hand is not resent first";
                    ++resent_checked;
                }
                if (events == 0 && connection > 0) {
                    EXPECT_GT(seq, tally.last) << "the first message of a new connection is an old one";
                }
                tally.add(seq, events == 0 && connection > 0);
                ++events;
            }
            if (last && tally.last == total - 1) break;
            if (!last && events >= per_connection) break;
        }
        ASSERT_TRUE(agent.alive()) << "the agent ended";
        if (last) break;
        ASSERT_GE(events, per_connection) << "the stream stalled";

        if ((connection + 1) % hang_every != 0) {
            // Killed: whatever is in flight is lost with the connection.
            collector.close_connection(true);
            ++hard_kills;
            expect_exact_resend = false;
        } else {
            // Hung, then killed: the agent's send times out with a message in
            // hand; everything it had handed to its socket still arrives.
            const int failures = agent.count_lines("ERROR - Send data to");
            const auto hang_until = Clock::now() + std::chrono::seconds(5);
            while (agent.count_lines("ERROR - Send data to") == failures && Clock::now() < hang_until) usleep(20000);
            while (collector.read(records, 300) > 0) {
            }
            for (; taken < records.size(); ++taken) tally.add(sequence_of(records[taken]), false);
            last_complete_before = tally.last;
            collector.close_connection(false);
            ++stalls;
            expect_exact_resend = true;
        }
        killed = Clock::now();
        collector.close_listener();
        usleep(200000);
        collector.listen(64 * 1024);
    }
    EXPECT_EQ(0, agent.stop()) << "the agent did not stop normally";

    const long missing = tally.missing();
    std::printf("restarts %d (%d killed, %d hung), messages %d, records %ld, duplicates %ld, missing %ld "
                "(socket buffers %ld, queue %ld), resends checked %d, longest reconnect %.1f s\n",
                hard_kills + stalls, hard_kills, stalls, total, tally.records, tally.duplicates, missing,
                tally.socket_lost, tally.queue_lost, resent_checked, longest_reconnect);
    EXPECT_EQ(0, tally.bad) << "records that are no message of the capture";
    EXPECT_EQ(0, tally.duplicates);
    EXPECT_EQ(total - 1, tally.last) << "the newest message never arrived";
    EXPECT_EQ(missing, tally.socket_lost + tally.queue_lost) << "losses not accounted for";
    // The queue holds the whole capture: nothing is dropped there.
    EXPECT_EQ(0, tally.queue_lost);
    EXPECT_EQ(stalls, resent_checked);
    // One pause of 10 s after each failure, and the time to connect.
    EXPECT_LT(longest_reconnect, 12.5);
    EXPECT_EQ(hard_kills + stalls, agent.count_lines("ERROR - Send data to"));
}

TEST(CollectorLoad, SlowCollectorGetsTheOldestThenAGapThenTheNewestWhileMemoryStaysNearTheQueue) {
    constexpr int kTotal = 200000;
    constexpr long kQueue = 1 << 20;
    kr::test::TempDir dir;
    write_capture(dir.file("load.pcap"), kTotal);
    Collector collector;
    collector.listen(16 * 1024);
    AgentProcess agent(dir);
    agent.start("logging on\nqueue-size " + std::to_string(kQueue) + "\ntarget 127.0.0.1:" +
                std::to_string(collector.port()) + " 5\ncapture file:" + dir.file("load.pcap") + "\n");
    ASSERT_TRUE(collector.accept(10000));

    // Slowly: 2 kB every 50 ms, for 5 s and until the whole capture has been
    // replayed: capture never waits for the collector.
    const std::string replayed = "Capture file " + dir.file("load.pcap") + " replayed: " + std::to_string(kTotal) +
                                 " packets, " + std::to_string(kTotal) + " DNS messages";
    std::vector<Bytes> records;
    long peak_rss = 0;
    const auto start = Clock::now();
    bool done = false;
    while (seconds_since(start) < 30 && !(done && seconds_since(start) >= 5)) {
        ASSERT_GE(collector.read(records, 50, 2048), 0);
        peak_rss = std::max(peak_rss, agent.memory_kb().first);
        done = done || agent.count_lines(replayed) == 1;
        usleep(50000);
    }
    EXPECT_TRUE(done) << "the capture was not replayed while the collector was slow";
    const std::size_t slow_records = records.size();
    // Then at full speed until the newest message is in.
    const auto fast_until = Clock::now() + std::chrono::seconds(30);
    while (Clock::now() < fast_until && (records.empty() || sequence_of(records.back()) != kTotal - 1)) {
        ASSERT_GE(collector.read(records, 200), 0);
    }
    const long peak_hwm = agent.memory_kb().second;
    ASSERT_TRUE(agent.alive());
    EXPECT_EQ(0, agent.stop());

    ASSERT_FALSE(records.empty());
    EXPECT_EQ(kHello, records[0]);
    long previous = -1;
    int gaps = 0;
    long dropped = 0, newest_run = 0;
    for (std::size_t i = 1; i < records.size(); ++i) {
        const long seq = sequence_of(records[i]);
        ASSERT_GT(seq, previous) << "record " << i << " is out of order or no message";
        if (seq != previous + 1) {
            ++gaps;
            dropped += seq - previous - 1;
            newest_run = 0;
        }
        ++newest_run;
        previous = seq;
    }
    std::printf("slow collector: %zu records while slow, %zu in all, %d gap(s), %ld dropped, the last %ld in a "
                "row up to %ld; agent memory: VmRSS peak %ld kB, VmHWM %ld kB with a %ld kB queue\n",
                slow_records, records.size() - 1, gaps, dropped, newest_run, previous, peak_rss, peak_hwm,
                kQueue / 1024);
    EXPECT_EQ(kTotal - 1, previous) << "the newest message never arrived";
    EXPECT_GE(gaps, 1) << "nothing was dropped although the capture is much larger than the queue";
    EXPECT_EQ(kTotal, static_cast<long>(records.size() - 1) + dropped);
    // What the full queue held when the replay ended comes whole and in a
    // row (each record, length field included, is under 80 bytes).
    EXPECT_GE(newest_run, kQueue / 80);
    // The capture's records take about 13 MB; the agent holds only its queue
    // and a few MB of its own (not so under a sanitizer, whose own memory
    // dwarfs both).
    if (!kSanitized) {
        EXPECT_LT(peak_hwm, kQueue / 1024 + 12 * 1024);
    }
}

}  // namespace
