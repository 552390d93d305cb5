#include "operations/web_page.h"

#include <ctime>
#include <nlohmann/json.hpp>

#include "operations/web_assets.h"

namespace kr::collector {

namespace {

using Clock = std::chrono::steady_clock;
using nlohmann::json;

constexpr std::size_t kTopShown = 20;
// Readers within this time share one rendering, so a flood of requests
// cannot make the server loop wait for the lock again and again.
constexpr auto kSummaryAge = std::chrono::milliseconds(250);
constexpr auto kRateSpan = std::chrono::seconds(2);

// Nothing the page loads may come from elsewhere, nor may it be framed.
const char* const kPagePolicy =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; connect-src 'self'; "
    "base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

json top_json(const LiveSummary::Top& top) {
    json entries = json::array();
    for (const TopEntry& entry : top.entries) {
        entries.push_back({{"key", entry.key}, {"count", entry.count}, {"error", entry.error}});
    }
    return {{"counted", top.counted}, {"error_bound", top.bound}, {"entries", std::move(entries)}};
}

}  // namespace

WebPage::WebPage(const LiveCounts& counts, std::function<WebStatus()> status)
    : counts_(counts), status_(std::move(status)), started_(static_cast<std::int64_t>(std::time(nullptr))) {}

HttpResponse WebPage::handle(const HttpRequest& request) {
    HttpResponse response;
    response.headers = {{"Cache-Control", "no-store"}, {"X-Content-Type-Options", "nosniff"},
                        {"Referrer-Policy", "no-referrer"}, {"Content-Security-Policy", kPagePolicy}};
    if (request.path == "/api/summary") {
        response.content_type = "application/json";
        response.body = summary();
        return response;
    }
    const std::string path = request.path == "/" ? "/index.html" : request.path;
    for (std::size_t i = 0; i < kWebAssetCount; ++i) {
        if (path == kWebAssets[i].path) {
            response.content_type = kWebAssets[i].content_type;
            response.body.assign(reinterpret_cast<const char*>(kWebAssets[i].data), kWebAssets[i].size);
            return response;
        }
    }
    response.status = 404;
    response.body = "Not Found\n";
    return response;
}

std::string WebPage::summary() {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto now = Clock::now();
    if (cached_.empty() || now - cached_at_ >= kSummaryAge) {
        cached_ = render();
        cached_at_ = now;
    }
    return cached_;
}

std::string WebPage::render() {
    const LiveSummary live = counts_.summary(kTopShown);
    const WebStatus status = status_();
    json agents = json::array();
    for (const WebAgent& agent : status.agents) {
        agents.push_back({{"address", agent.address},
                          {"tls_subject", agent.tls_subject.empty() ? json(nullptr) : json(agent.tls_subject)},
                          {"connected_since", agent.connected_since == 0 ? json(nullptr) : json(agent.connected_since)},
                          {"events", agent.events},
                          {"broken", agent.broken},
                          {"open_connections", agent.open}});
    }
    json outputs = json::array();
    for (const WebOutput& output : status.outputs) {
        outputs.push_back({{"name", output.name}, {"written", output.written}, {"dropped", output.dropped}});
    }
    json clickhouse = nullptr;
    if (status.clickhouse) {
        const WebClickHouse& c = *status.clickhouse;
        const auto now = Clock::now();
        if (rows_at_ == Clock::time_point{} || c.rows_inserted < rows_) {
            rows_at_ = now;
            rows_ = c.rows_inserted;
        } else if (now - rows_at_ >= kRateSpan) {
            rows_per_second_ = static_cast<double>(c.rows_inserted - rows_) /
                               std::chrono::duration<double>(now - rows_at_).count();
            rows_at_ = now;
            rows_ = c.rows_inserted;
        }
        clickhouse = {{"rows_inserted", c.rows_inserted},
                      {"rows_per_second", rows_per_second_},
                      {"failing", c.failing},
                      {"spool_bytes", c.spool_bytes},
                      {"quarantined_batches", c.quarantined_batches}};
    }
    const json summary = {
        {"now", live.now},
        {"started", started_},
        {"events_total", live.events},
        {"rate", {{"end", live.now}, {"queries", live.queries}, {"answers", live.answers}}},
        {"window_start", live.window_start},
        {"rcodes",
         {{"NOERROR", live.rcodes[0]},
          {"NXDOMAIN", live.rcodes[1]},
          {"SERVFAIL", live.rcodes[2]},
          {"REFUSED", live.rcodes[3]},
          {"other", live.rcodes[4]}}},
        {"top_names", top_json(live.names)},
        {"top_nxdomain", top_json(live.nxdomain)},
        {"top_clients", top_json(live.clients)},
        {"agents", std::move(agents)},
        {"outputs", std::move(outputs)},
        {"clickhouse", std::move(clickhouse)},
    };
    return summary.dump(-1, ' ', false, json::error_handler_t::replace);
}

}  // namespace kr::collector
