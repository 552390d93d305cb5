#include "operations/live_counts.h"

#include <cstring>
#include <ctime>

namespace kr::collector {

namespace {

std::int64_t wall_clock() {
    return static_cast<std::int64_t>(std::time(nullptr));
}

std::size_t rcode_index(unsigned rcode) {
    switch (rcode) {
        case 0: return 0;  // NOERROR
        case 3: return 1;  // NXDOMAIN
        case 2: return 2;  // SERVFAIL
        case 5: return 3;  // REFUSED
        default: return 4;
    }
}

// ASCII letters to lower case, eight bytes at a time: bytes of 0x80 and up
// and everything outside 'A'..'Z' stay as they are.
void fold_case(const std::string& from, std::string& to) {
    constexpr std::uint64_t ones = 0x0101010101010101ull;
    to.resize(from.size());
    std::size_t i = 0;
    for (; i + 8 <= from.size(); i += 8) {
        std::uint64_t word;
        std::memcpy(&word, from.data() + i, 8);
        const std::uint64_t low = word & (0x7f * ones);
        const std::uint64_t above_z = low + (0x7f - 'Z') * ones;  // high bit set past 'Z'
        const std::uint64_t from_a = low + (0x80 - 'A') * ones;   // high bit set from 'A' on
        const std::uint64_t upper = (from_a ^ above_z) & ~word & (0x80 * ones);
        word |= upper >> 2;
        std::memcpy(&to[i], &word, 8);
    }
    for (; i < from.size(); ++i) {
        const char c = from[i];
        to[i] = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    }
}

std::size_t modulo(std::int64_t value, std::size_t size) {
    const auto n = static_cast<std::int64_t>(size);
    return static_cast<std::size_t>(((value % n) + n) % n);
}

}  // namespace

LiveCounts::LiveCounts(std::size_t capacity, std::int64_t (*clock)())
    : clock_(clock != nullptr ? clock : wall_clock),
      stamps_(kRateSeconds, -1),
      queries_(kRateSeconds, 0),
      answers_(kRateSeconds, 0) {
    minutes_.reserve(kWindowMinutes + 1);
    for (std::int64_t i = 0; i <= kWindowMinutes; ++i) {
        minutes_.emplace_back(capacity);
    }
}

LiveCounts::~LiveCounts() {
    end_round();
}

std::int64_t LiveCounts::now() const {
    return clock_();
}

void LiveCounts::start_round() {
    mutex_.lock();
    held_ = true;
    // One clock reading per round: a round lasts milliseconds.
    const std::int64_t now = this->now();
    if (now == second_) {
        return;
    }
    second_ = now;
    slot_ = modulo(now, stamps_.size());
    if (stamps_[slot_] != now) {
        stamps_[slot_] = now;
        queries_[slot_] = 0;
        answers_[slot_] = 0;
    }
    const std::int64_t minute = now / 60;
    Minute& current = minutes_[modulo(minute, minutes_.size())];
    if (current.minute != minute) {
        current.minute = minute;
        current.names.clear();
        current.nxdomain.clear();
        current.clients.clear();
        current.rcodes = {};
    }
    minute_ = &current;
}

void LiveCounts::end_round() {
    if (held_) {
        held_ = false;
        mutex_.unlock();
    }
}

void LiveCounts::event(std::string_view client, const DnsSummary& dns) {
    if (!held_) {
        start_round();
    }
    ++events_;
    if (!dns.has_header) {
        return;
    }
    if (!dns.qr()) {
        ++queries_[slot_];
        minute_->clients.add(client, hash_key(client));
    } else {
        ++answers_[slot_];
        ++minute_->rcodes[rcode_index(dns.rcode())];
    }
    if (!dns.has_question || (dns.qr() && dns.rcode() != 3)) {
        return;
    }
    fold_case(dns.qname, folded_);
    HeavyHitters& list = dns.qr() ? minute_->nxdomain : minute_->names;
    list.add(folded_, hash_key(folded_));
}

LiveSummary LiveCounts::summary(std::size_t top) const {
    LiveSummary out;
    // Read outside the lock: the loop's clock is the same, and a reader must
    // not wait for a round to learn the time.
    out.now = now();
    out.window_start = (out.now / 60 - kWindowMinutes) * 60;
    out.queries.assign(kRateSeconds, 0);
    out.answers.assign(kRateSeconds, 0);
    std::lock_guard<std::mutex> lock(mutex_);
    out.events = events_;
    for (std::int64_t i = 0; i < kRateSeconds; ++i) {
        const std::int64_t second = out.now - kRateSeconds + 1 + i;
        const std::size_t slot = modulo(second, stamps_.size());
        if (stamps_[slot] == second) {
            out.queries[static_cast<std::size_t>(i)] = queries_[slot];
            out.answers[static_cast<std::size_t>(i)] = answers_[slot];
        }
    }
    std::vector<const HeavyHitters*> names;
    std::vector<const HeavyHitters*> nxdomain;
    std::vector<const HeavyHitters*> clients;
    for (const Minute& minute : minutes_) {
        if (minute.minute < out.window_start / 60 || minute.minute > out.now / 60) {
            continue;
        }
        names.push_back(&minute.names);
        nxdomain.push_back(&minute.nxdomain);
        clients.push_back(&minute.clients);
        for (std::size_t i = 0; i < out.rcodes.size(); ++i) {
            out.rcodes[i] += minute.rcodes[i];
        }
    }
    const auto fill = [top](LiveSummary::Top& list, const std::vector<const HeavyHitters*>& sketches) {
        list.entries = merged_top(sketches, top);
        for (const HeavyHitters* sketch : sketches) {
            list.counted += sketch->total();
            list.bound += sketch->total() / sketch->capacity();
        }
    };
    fill(out.names, names);
    fill(out.nxdomain, nxdomain);
    fill(out.clients, clients);
    return out;
}

}  // namespace kr::collector
