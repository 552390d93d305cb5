#pragma once
// The live page: its files at / (built into the program) and its data at
// /api/summary, from the live counts and what main reports of the agents
// and outputs.
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "operations/http_server.h"
#include "operations/live_counts.h"

namespace kr::collector {

struct WebAgent {
    std::string address;
    std::string tls_subject;          // "" without a client certificate
    std::int64_t connected_since = 0;  // seconds since 1970 of the first connection open now, 0 when none is
    std::uint64_t events = 0;
    std::uint64_t broken = 0;  // records that could not be read: malformed, or cut off
    std::uint64_t open = 0;
};

struct WebOutput {
    std::string name;  // "json", "pcap", "dnstap", "dnstap-socket"
    std::uint64_t written = 0;
    std::uint64_t dropped = 0;
};

struct WebClickHouse {
    std::uint64_t rows_inserted = 0;
    bool failing = false;
    std::uint64_t spool_bytes = 0;
    std::uint64_t quarantined_batches = 0;
};

struct WebStatus {
    std::vector<WebAgent> agents;
    std::vector<WebOutput> outputs;
    std::optional<WebClickHouse> clickhouse;
};

class WebPage {
public:
    // `status` is called from the page's thread.
    WebPage(const LiveCounts& counts, std::function<WebStatus()> status);

    HttpResponse handle(const HttpRequest& request);
    // The JSON of /api/summary, at most kSummaryAgeMs old.
    std::string summary();

private:
    std::string render();

    const LiveCounts& counts_;
    std::function<WebStatus()> status_;
    std::int64_t started_;
    std::mutex mutex_;
    std::string cached_;
    std::chrono::steady_clock::time_point cached_at_{};
    // Two samples of rows inserted, a few seconds apart, for the rate.
    std::chrono::steady_clock::time_point rows_at_{};
    std::uint64_t rows_ = 0;
    double rows_per_second_ = 0;
};

}  // namespace kr::collector
