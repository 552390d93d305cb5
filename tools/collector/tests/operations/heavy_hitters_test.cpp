#include "operations/heavy_hitters.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <random>

namespace kr::collector {
namespace {

// A skewed stream over many more keys than counters, cut into "minutes":
// each sketch and their merge keep Space-Saving's promises against the
// exact counts, through many replacements of the smallest counter.
TEST(HeavyHitters, KeepTheirBoundsAloneAndMergedOverASkewedStream) {
    constexpr std::size_t kCapacity = 64;
    std::mt19937 random(7);
    std::vector<HeavyHitters> minutes(3, HeavyHitters(kCapacity));
    std::map<std::string, std::uint64_t> exact;
    std::uint64_t total = 0;
    for (HeavyHitters& minute : minutes) {
        std::map<std::string, std::uint64_t> exact_minute;
        for (int i = 0; i < 20000; ++i) {
            // Zipf-like: key k comes with weight about 1/k.
            const auto k = static_cast<unsigned>(std::exp(std::uniform_real_distribution<>(0, std::log(3000.0))(random)));
            const std::string key = "k" + std::to_string(k);
            minute.add(key, hash_key(key));
            ++exact_minute[key];
            ++exact[key];
        }
        const std::uint64_t bound = minute.total() / kCapacity;
        for (const TopEntry& entry : minute.entries()) {
            EXPECT_GE(entry.count, exact_minute[entry.key]) << entry.key;
            EXPECT_LE(entry.count - entry.error, exact_minute[entry.key]) << entry.key;
            EXPECT_LE(entry.count - exact_minute[entry.key], bound) << entry.key;
        }
        EXPECT_EQ(minute.entries().size(), kCapacity);
        EXPECT_LE(minute.floor(), bound);
        total += minute.total();
    }
    std::vector<const HeavyHitters*> all;
    for (const HeavyHitters& minute : minutes) {
        all.push_back(&minute);
    }
    const std::vector<TopEntry> top = merged_top(all, 1000);
    std::map<std::string, TopEntry> listed;
    for (const TopEntry& entry : top) {
        EXPECT_GE(entry.count, exact[entry.key]) << entry.key;
        EXPECT_LE(entry.count - entry.error, exact[entry.key]) << entry.key;
        EXPECT_LE(entry.count - exact[entry.key], total / kCapacity) << entry.key;
        listed[entry.key] = entry;
    }
    for (const auto& [key, count] : exact) {
        if (count > total / kCapacity) {
            EXPECT_EQ(listed.count(key), 1u) << key << " with " << count << " of " << total;
        }
    }
    ASSERT_GE(top.size(), 20u);
    EXPECT_EQ(top[0].key, "k1");
    EXPECT_TRUE(std::is_sorted(top.begin(), top.end(),
                               [](const TopEntry& a, const TopEntry& b) { return a.count > b.count; }));
}

}  // namespace
}  // namespace kr::collector
