#include "operations/heavy_hitters.h"

#include <xxhash.h>

#include <algorithm>
#include <random>
#include <unordered_map>

namespace kr::collector {

namespace {

std::size_t table_size(std::size_t capacity) {
    std::size_t size = 16;
    while (size < 2 * capacity) {
        size *= 2;
    }
    return size;
}

}  // namespace

HeavyHitters::HeavyHitters(std::size_t capacity)
    : capacity_(std::max<std::size_t>(capacity, 1)), slots_(table_size(capacity_), 0) {
    counters_.reserve(capacity_);
    heap_.reserve(capacity_);
    position_.reserve(capacity_);
}

void HeavyHitters::clear() {
    total_ = 0;
    counters_.clear();
    heap_.clear();
    position_.clear();
    std::fill(slots_.begin(), slots_.end(), 0);
}

std::uint64_t HeavyHitters::floor() const {
    return counters_.size() < capacity_ ? 0 : counters_[heap_[0]].count;
}

std::vector<TopEntry> HeavyHitters::entries() const {
    std::vector<TopEntry> out;
    out.reserve(counters_.size());
    for (const Counter& counter : counters_) {
        out.push_back({counter.key, counter.count, counter.error});
    }
    return out;
}

std::uint32_t HeavyHitters::find(std::string_view key, std::uint64_t hash) const {
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t at = hash & mask;; at = (at + 1) & mask) {
        const std::uint32_t slot = slots_[at];
        if (slot == 0) {
            return 0;
        }
        const Counter& counter = counters_[slot - 1];
        if (counter.hash == hash && counter.key == key) {
            return slot;
        }
    }
}

void HeavyHitters::insert_slot(std::uint32_t counter) {
    const std::size_t mask = slots_.size() - 1;
    std::size_t at = counters_[counter].hash & mask;
    while (slots_[at] != 0) {
        at = (at + 1) & mask;
    }
    slots_[at] = counter + 1;
}

void HeavyHitters::erase_slot(std::uint32_t counter) {
    const std::size_t mask = slots_.size() - 1;
    std::size_t hole = counters_[counter].hash & mask;
    while (slots_[hole] != counter + 1) {
        hole = (hole + 1) & mask;
    }
    // Backward shift: later entries of the run move into the hole when their
    // home does not lie between the hole and where they are.
    for (std::size_t at = (hole + 1) & mask; slots_[at] != 0; at = (at + 1) & mask) {
        const std::size_t home = counters_[slots_[at] - 1].hash & mask;
        const bool between = hole <= at ? (hole < home && home <= at) : (hole < home || home <= at);
        if (!between) {
            slots_[hole] = slots_[at];
            hole = at;
        }
    }
    slots_[hole] = 0;
}

void HeavyHitters::sift_down(std::size_t at) {
    const std::size_t size = heap_.size();
    const std::uint32_t moving = heap_[at];
    const std::uint64_t count = counters_[moving].count;
    for (;;) {
        std::size_t child = 2 * at + 1;
        if (child >= size) {
            break;
        }
        if (child + 1 < size && counters_[heap_[child + 1]].count < counters_[heap_[child]].count) {
            ++child;
        }
        if (counters_[heap_[child]].count >= count) {
            break;
        }
        heap_[at] = heap_[child];
        position_[heap_[at]] = static_cast<std::uint32_t>(at);
        at = child;
    }
    heap_[at] = moving;
    position_[moving] = static_cast<std::uint32_t>(at);
}

void HeavyHitters::sift_up(std::size_t at) {
    const std::uint32_t moving = heap_[at];
    const std::uint64_t count = counters_[moving].count;
    while (at > 0 && counters_[heap_[(at - 1) / 2]].count > count) {
        heap_[at] = heap_[(at - 1) / 2];
        position_[heap_[at]] = static_cast<std::uint32_t>(at);
        at = (at - 1) / 2;
    }
    heap_[at] = moving;
    position_[moving] = static_cast<std::uint32_t>(at);
}

void HeavyHitters::add(std::string_view key, std::uint64_t hash) {
    ++total_;
    if (const std::uint32_t slot = find(key, hash)) {
        ++counters_[slot - 1].count;
        sift_down(position_[slot - 1]);
        return;
    }
    if (counters_.size() < capacity_) {
        const auto index = static_cast<std::uint32_t>(counters_.size());
        counters_.push_back({hash, 1, 0, std::string(key)});
        heap_.push_back(index);
        position_.push_back(index);
        sift_up(index);
        insert_slot(index);
        return;
    }
    const std::uint32_t smallest = heap_[0];
    Counter& counter = counters_[smallest];
    erase_slot(smallest);
    counter.hash = hash;
    counter.key.assign(key.data(), key.size());
    counter.error = counter.count;
    ++counter.count;
    insert_slot(smallest);
    sift_down(0);
}

std::uint64_t hash_key(std::string_view key) {
    static const std::uint64_t seed = [] {
        std::random_device random;
        return (static_cast<std::uint64_t>(random()) << 32) ^ random();
    }();
    return XXH3_64bits_withSeed(key.data(), key.size(), seed);
}

std::vector<TopEntry> merged_top(const std::vector<const HeavyHitters*>& sketches, std::size_t count) {
    std::unordered_map<std::string, TopEntry> merged;
    std::uint64_t floors = 0;
    for (const HeavyHitters* sketch : sketches) {
        floors += sketch->floor();
    }
    for (const HeavyHitters* sketch : sketches) {
        for (TopEntry& entry : sketch->entries()) {
            auto [it, added] = merged.try_emplace(entry.key);
            if (added) {
                // Counted at the floor of every sketch, then corrected below
                // for the sketches that hold it.
                it->second.key = std::move(entry.key);
                it->second.count = floors;
                it->second.error = floors;
            }
            it->second.count += entry.count - sketch->floor();
            it->second.error += entry.error - sketch->floor();
        }
    }
    std::vector<TopEntry> top;
    top.reserve(merged.size());
    for (auto& [key, entry] : merged) {
        top.push_back(std::move(entry));
    }
    const std::size_t shown = std::min(count, top.size());
    std::partial_sort(top.begin(), top.begin() + static_cast<std::ptrdiff_t>(shown), top.end(),
                      [](const TopEntry& a, const TopEntry& b) { return a.count != b.count ? a.count > b.count : a.key < b.key; });
    top.resize(shown);
    return top;
}

}  // namespace kr::collector
