#include "operations/live_page.h"

#include "input/tls.h"
#include "outputs/clickhouse/clickhouse_sink.h"

namespace kr::collector {

WebStatus web_status(const AgentTable& agents, const Output& output, const Options& options,
                     const ClickHouseSink* sink) {
    WebStatus status;
    for (const AgentCounts& agent : agents.snapshot()) {
        status.agents.push_back({agent.peer, agent.tls_subject, agent.open > 0 ? agent.connected_since : 0,
                                 agent.events, agent.format_errors + agent.broken, agent.open});
    }
    const Output::Counts counts = output.counts();
    if (!options.json_path.empty()) {
        status.outputs.push_back({"json", counts.json_written, counts.json_dropped});
    }
    if (!options.pcap_path.empty()) {
        status.outputs.push_back({"pcap", counts.pcap_written, counts.pcap_skipped});
    }
    if (!options.dnstap.path.empty()) {
        status.outputs.push_back({"dnstap", counts.dnstap_written, 0});
    }
    if (const DnstapSocket* socket = output.dnstap_socket()) {
        const DnstapSocket::Counters c = socket->counters();
        status.outputs.push_back({"dnstap-socket", c.sent, c.dropped});
    }
    if (sink != nullptr) {
        const ClickHouseSink::Counters c = sink->counters();
        status.clickhouse = WebClickHouse{c.rows_inserted, c.failing != 0, c.spool_bytes, c.batches_quarantined};
    }
    return status;
}

LivePage::LivePage() = default;

LivePage::~LivePage() {
    stop();
}

bool LivePage::start(const WebOptions& web, const TlsOptions& tls, std::function<WebStatus()> status,
                     std::string& error) {
    HttpServerOptions options;
    options.what = "the page";
    options.address = web.address;
    options.password = web.password;
    if (!tls.cert.empty()) {
        // The listener's certificate and key; browsers bring no client certificate.
        TlsOptions page_tls = tls;
        page_tls.client_ca.clear();
        tls_ = TlsContext::create(page_tls, error);
        if (!tls_) {
            return false;
        }
        options.tls = tls_->get();
    }
    page_ = std::make_unique<WebPage>(counts_, std::move(status));
    return http_.start(options, [this](const HttpRequest& request) { return page_->handle(request); }, error);
}

}  // namespace kr::collector
