// The agent program's stats lines, checked against what a collector that
// breaks a connection or stops got (collector_load.h has the harness).
#include "collector_load.h"

namespace {

using Stats = std::map<std::string, long>;

Stats parse_stats(const std::string& line) {
    Stats out;
    std::istringstream in(line.substr(line.find(':') + 1));
    std::string pair;
    while (in >> pair) out[pair.substr(0, pair.find('='))] = std::atol(pair.c_str() + pair.find('=') + 1);
    return out;
}

// A collector that hangs until the agent's send times out, then reads part of
// what the agent had sent and dies; its successor gets the rest. The ring
// overflows meanwhile. The Stats lines must account for every message, and
// the collectors' count must be what was sent minus what the broken
// connection lost, which a Stats line written during the pause gives.
TEST(CollectorLoad, StatsLinesAccountForTheRingAndTheBrokenConnection) {
    // Some 13 MB of records: more than the socket buffers (4 MB here at most)
    // and the ring hold together. The ring holds more than the socket buffers,
    // so that the sender still has a message when they are full and times out.
    constexpr int kTotal = 200000;
    kr::test::TempDir dir;
    write_capture(dir.file("load.pcap"), kTotal);
    Collector collector;
    collector.listen(16 * 1024);
    AgentProcess agent(dir);
    agent.start("logging on\nstats-interval 1\nqueue-size 6000000\ntarget 127.0.0.1:" +
                std::to_string(collector.port()) + " 1\ncapture file:" + dir.file("load.pcap") + "\n");
    ASSERT_TRUE(collector.accept(10000));
    const auto hang_until = Clock::now() + std::chrono::seconds(60);
    while (agent.count_lines("ERROR - Send data to") == 0 && Clock::now() < hang_until) usleep(20000);
    ASSERT_EQ(1, agent.count_lines("ERROR - Send data to")) << "the send never timed out";

    std::vector<Bytes> first, second;
    while (first.size() < 1001 && collector.read(first, 500, 4096) > 0) {
    }
    collector.close_connection(true);
    collector.close_listener();
    collector.listen(16 * 1024);
    ASSERT_TRUE(collector.accept(20000)) << "the agent did not come back";
    // Until the replay is over and the ring drained: nothing more for a while.
    const std::string replayed = "Capture file " + dir.file("load.pcap") + " replayed: ";
    const auto drain_until = Clock::now() + std::chrono::seconds(60);
    while (Clock::now() < drain_until && (collector.read(second, 1000) > 0 || agent.count_lines(replayed) == 0)) {
    }
    ASSERT_EQ(0, agent.stop());
    while (collector.read(second, 1000) > 0) {
    }

    std::vector<Stats> stats;
    for (const auto& line : agent.lines("Stats: ")) stats.push_back(parse_stats(line));
    ASSERT_FALSE(stats.empty());
    const Stats& end = stats.back();
    const Stats* paused = nullptr;  // written after the break, before the new connection
    for (const Stats& s : stats) {
        if (s.at("connects") == 1 && s.at("breaks") == 1) paused = &s;
    }
    ASSERT_NE(nullptr, paused) << "no Stats line during the pause";
    ASSERT_FALSE(first.empty());
    ASSERT_FALSE(second.empty());
    EXPECT_EQ(kHello, first[0]);
    EXPECT_EQ(kHello, second[0]);
    const long received = static_cast<long>(first.size() - 1 + second.size() - 1);
    const long lost = paused->at("sent") - static_cast<long>(first.size() - 1);
    std::printf("stats at the end: events %ld, queued %ld, dropped %ld, sent %ld (%ld before the break), resent "
                "%ld; collectors got %ld, the broken connection lost %ld\n",
                end.at("events"), end.at("queued"), end.at("dropped"), end.at("sent"), paused->at("sent"),
                end.at("resent"), received, lost);

    EXPECT_EQ(kTotal, end.at("events"));
    EXPECT_EQ(0, end.at("refused"));
    EXPECT_EQ(end.at("events"), end.at("queued") + end.at("refused"));
    EXPECT_EQ(0, end.at("in_queue"));
    EXPECT_EQ(end.at("queued"), end.at("sent") + end.at("dropped") + end.at("in_queue") + end.at("in_hand"));
    EXPECT_EQ(0, end.at("in_hand"));
    EXPECT_EQ(1, paused->at("in_hand")) << "the message of the broken send, held for the next connection";
    EXPECT_GT(end.at("dropped"), 0);
    EXPECT_EQ(1, end.at("resent"));
    EXPECT_EQ(2, end.at("connects"));
    EXPECT_EQ(1, end.at("breaks"));
    EXPECT_GE(lost, 0);
    EXPECT_EQ(end.at("sent") - lost, received);
    // Against the capture itself: each message arrived once, or was dropped or lost.
    Tally tally(kTotal);
    for (std::size_t i = 1; i < first.size(); ++i) tally.add(sequence_of(first[i]), false);
    for (std::size_t i = 1; i < second.size(); ++i) tally.add(sequence_of(second[i]), false);
    EXPECT_EQ(0, tally.bad);
    EXPECT_EQ(0, tally.duplicates);
    EXPECT_EQ(end.at("dropped") + lost, tally.missing());
}

// With send-batch, a stop during the pause after a broken send: the batch
// the sender holds for the next connection is in no other count, so the last
// line counts it as in_hand and the identities hold exactly.
TEST(CollectorLoad, LastStatsLineCountsTheBatchHeldAtAStopDuringThePause) {
    constexpr int kTotal = 200000;
    kr::test::TempDir dir;
    write_capture(dir.file("load.pcap"), kTotal);
    Collector collector;
    collector.listen(16 * 1024);
    AgentProcess agent(dir);
    agent.start("logging on\nstats-interval 1\nsend-batch 65536\nqueue-size 6000000\ntarget 127.0.0.1:" +
                std::to_string(collector.port()) + " 1\ncapture file:" + dir.file("load.pcap") + "\n");
    ASSERT_TRUE(collector.accept(10000));
    const auto hang_until = Clock::now() + std::chrono::seconds(60);
    while (agent.count_lines("ERROR - Send data to") == 0 && Clock::now() < hang_until) usleep(20000);
    ASSERT_EQ(1, agent.count_lines("ERROR - Send data to")) << "the send never timed out";
    ASSERT_EQ(0, agent.stop());

    const auto lines = agent.lines("Stats: ");
    ASSERT_FALSE(lines.empty());
    const Stats end = parse_stats(lines.back());
    EXPECT_EQ(end.at("events"), end.at("queued") + end.at("refused"));
    EXPECT_EQ(end.at("queued"), end.at("sent") + end.at("dropped") + end.at("in_queue") + end.at("in_hand"));
    // The batch holds what was waiting at the failed send: one record or many,
    // as fast as the capture outran the sender (a sanitizer build may not).
    EXPECT_GE(end.at("in_hand"), 1) << "the batch of the broken send";
    EXPECT_EQ(1, end.at("breaks"));
    EXPECT_EQ(0, end.at("resent"));
}

}  // namespace
