#pragma once
// The live page as the collector runs it (--web): the counts the fan-out
// feeds, the page, and the HTTP server that serves it, with TLS and a
// password when the options ask for them.
#include <functional>
#include <memory>
#include <string>

#include "operations/agents.h"
#include "operations/http_server.h"
#include "operations/live_counts.h"
#include "operations/web_page.h"
#include "options/options.h"
#include "outputs/output.h"

namespace kr::collector {

class ClickHouseSink;
class TlsContext;

// What the page shows of the agents and outputs, read from their counters.
WebStatus web_status(const AgentTable& agents, const Output& output, const Options& options,
                     const ClickHouseSink* sink);

class LivePage {
public:
    LivePage();
    ~LivePage();
    LivePage(const LivePage&) = delete;
    LivePage& operator=(const LivePage&) = delete;

    // Serves the page on web.address, over TLS with the certificate of
    // `tls` when it has one. False with the reason on failure.
    bool start(const WebOptions& web, const TlsOptions& tls, std::function<WebStatus()> status, std::string& error);
    // Where the server loop's events go (see Output::add_tap).
    EventTap& tap() { return counts_; }
    // "http(s)://ADDR:PORT/"
    std::string url() const { return http_.base_url() + "/"; }
    void stop() { http_.stop(); }

private:
    LiveCounts counts_;
    std::unique_ptr<WebPage> page_;
    std::unique_ptr<TlsContext> tls_;
    HttpServer http_;
};

}  // namespace kr::collector
