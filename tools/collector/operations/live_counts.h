#pragma once
// What the live page shows of the events themselves: events per second over
// the last ten minutes, and per minute the response codes and the heavy
// hitters (names, NXDOMAIN names, clients) for the last five. The server
// loop adds events; the page's thread reads a summary. The loop holds the
// lock for a whole round of reads (from the round's first event to
// end_round()), so no event pays for a lock of its own and a reader waits
// at most one round.
#include <array>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "model/dns.h"
#include "operations/heavy_hitters.h"
#include "outputs/event_tap.h"

namespace kr::collector {

constexpr std::size_t kTopCapacity = 1000;  // counters per list and minute
constexpr std::int64_t kRateSeconds = 600;
constexpr std::int64_t kWindowMinutes = 5;  // whole minutes before the current one

struct LiveSummary {
    std::int64_t now = 0;     // seconds since 1970, the last second of `queries` and `answers`
    std::uint64_t events = 0;  // since start, whatever their packet holds
    std::vector<std::uint32_t> queries;  // per second, oldest first, kRateSeconds of them
    std::vector<std::uint32_t> answers;
    std::int64_t window_start = 0;  // the first second the rest counts
    // NOERROR, NXDOMAIN, SERVFAIL, REFUSED, other: answers in the window.
    std::array<std::uint64_t, 5> rcodes{};
    struct Top {
        std::vector<TopEntry> entries;
        std::uint64_t counted = 0;  // additions in the window
        std::uint64_t bound = 0;    // no count is more than this above the truth
    };
    Top names;     // of queries, case-folded
    Top nxdomain;  // of NXDOMAIN answers, case-folded
    Top clients;   // of queries
};

class LiveCounts : public EventTap {
public:
    // `clock` gives the seconds since 1970 (the wall clock by default).
    explicit LiveCounts(std::size_t capacity = kTopCapacity, std::int64_t (*clock)() = nullptr);
    ~LiveCounts() override;
    LiveCounts(const LiveCounts&) = delete;
    LiveCounts& operator=(const LiveCounts&) = delete;

    // The server loop's side: one call per event, then end_round() after
    // each round of reads.
    void event(std::string_view client, const DnsSummary& dns) override;
    void end_round() override;

    // Any thread: the `top` largest of each list.
    LiveSummary summary(std::size_t top) const;

private:
    struct Minute {
        explicit Minute(std::size_t capacity) : names(capacity), nxdomain(capacity), clients(capacity) {}
        std::int64_t minute = -1;
        HeavyHitters names;
        HeavyHitters nxdomain;
        HeavyHitters clients;
        std::array<std::uint64_t, 5> rcodes{};
    };

    void start_round();
    std::int64_t now() const;

    std::int64_t (*clock_)();
    mutable std::mutex mutex_;
    bool held_ = false;  // by the loop, for the current round
    std::uint64_t events_ = 0;
    std::int64_t second_ = -1;
    std::size_t slot_ = 0;  // of second_ below
    Minute* minute_ = nullptr;
    std::vector<std::int64_t> stamps_;  // the second each slot below counts
    std::vector<std::uint32_t> queries_;
    std::vector<std::uint32_t> answers_;
    std::vector<Minute> minutes_;  // kWindowMinutes + 1, by minute modulo their number
    std::string folded_;
};

}  // namespace kr::collector
