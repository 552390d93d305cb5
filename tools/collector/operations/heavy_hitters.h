#pragma once
// The most frequent keys of a stream in a fixed number of counters
// (Space-Saving): a key not counted takes over the smallest counter and
// inherits its count as its possible error. With `capacity` counters over N
// additions, every count is at most N / capacity above the true one, and
// every key added more than N / capacity times holds a counter. Memory is
// fixed by the capacity: about 80 bytes per counter plus its key.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kr::collector {

struct TopEntry {
    std::string key;
    std::uint64_t count = 0;  // estimated: the true count is between count - error and count
    std::uint64_t error = 0;
};

class HeavyHitters {
public:
    explicit HeavyHitters(std::size_t capacity);

    // Counts `key` once; `hash` is its hash (see hash_key()).
    void add(std::string_view key, std::uint64_t hash);
    void clear();

    std::uint64_t total() const { return total_; }
    std::size_t capacity() const { return capacity_; }
    // The count a key without a counter may have had: 0 until every counter is in use.
    std::uint64_t floor() const;
    // Every counted key, in no particular order.
    std::vector<TopEntry> entries() const;

private:
    struct Counter {
        std::uint64_t hash;
        std::uint64_t count;
        std::uint64_t error;
        std::string key;
    };

    std::uint32_t find(std::string_view key, std::uint64_t hash) const;  // index + 1, or 0
    void insert_slot(std::uint32_t counter);
    void erase_slot(std::uint32_t counter);
    void sift_down(std::size_t at);
    void sift_up(std::size_t at);

    std::size_t capacity_;
    std::uint64_t total_ = 0;
    std::vector<Counter> counters_;
    std::vector<std::uint32_t> heap_;      // counter indexes, smallest count first
    std::vector<std::uint32_t> position_;  // of each counter in heap_
    std::vector<std::uint32_t> slots_;     // open addressing on the hash: counter index + 1, 0 for none
};

// A hash for HeavyHitters::add, seeded once per process so that no client
// can choose names that collide.
std::uint64_t hash_key(std::string_view key);

// The `count` largest keys of several sketches taken together (e.g. one per
// minute): a key's count adds its counts, and for each sketch that holds no
// counter for it, that sketch's floor() (counted as error too). The error
// of a merged count stays within the sum of the sketches' bounds.
std::vector<TopEntry> merged_top(const std::vector<const HeavyHitters*>& sketches, std::size_t count);

}  // namespace kr::collector
