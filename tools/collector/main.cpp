// collector: listens for agents, checks every record they send and writes the
// events as JSON lines, a capture file, dnstap and/or into ClickHouse.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>
#include <string>

#include "input/server.h"
#include "operations/agents.h"
#include "operations/live_page.h"
#include "operations/metrics.h"
#include "operations/report.h"
#include "options/options.h"
#include "outputs/clickhouse/clickhouse_sink.h"
#include "outputs/output.h"

namespace {

kr::collector::Server* g_server = nullptr;

extern "C" void on_stop_signal(int) {
    if (g_server != nullptr) {
        g_server->stop();
    }
}

// As logrotate's postrotate sends it: the files moved away are closed whole
// and made anew, nothing lost or written twice.
extern "C" void on_hang_up(int) {
    if (g_server != nullptr) {
        g_server->request_reopen();
    }
}

int usage_error(const std::string& problem) {
    std::fprintf(stderr, "collector: %s\n%s", problem.c_str(), kr::collector::usage_text());
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace kr::collector;
    Options options;
    std::string error;
    if (!parse_options(argc, argv, options, error)) {
        return usage_error(error);
    }
    if (options.help) {
        std::fputs(usage_text(), stdout);
        return 0;
    }
    const std::string web_problem = web_access_problem(options.web);
    if (!web_problem.empty()) {
        std::fprintf(stderr, "collector: %s\n", web_problem.c_str());
        return 2;
    }
    // A reader that goes away must show up as a write error, not end the process.
    std::signal(SIGPIPE, SIG_IGN);
    // Before any listener sizes itself: every descriptor the system allows,
    // for agents and a flood beside them. Said once the start succeeded.
    const std::string open_files = raise_open_file_limit();

    Output output(stderr);
    if ((!options.json_path.empty() && !output.open_json(options.json_path, error)) ||
        (!options.pcap_path.empty() && !output.open_pcap(options.pcap_path, error)) ||
        (!options.dnstap.path.empty() && !output.open_dnstap(options.dnstap.path, error)) ||
        (!options.dnstap.socket.empty() &&
         !output.open_dnstap_socket(options.dnstap.socket, options.dnstap.queue_bytes, error))) {
        std::fprintf(stderr, "collector: %s\n", error.c_str());
        return 2;
    }
    output.set_dnstap_names(options.dnstap);
    std::unique_ptr<ClickHouseSink> sink;
    if (!options.clickhouse.url.empty()) {
        sink = std::make_unique<ClickHouseSink>(options.clickhouse, stderr);
        output.add_sink(sink.get());
    }
    AgentTable agents(options.max_agents);
    Server server(output, agents, options.max_record, stderr);
    server.limit_pending(options.listener);
    if ((!options.tls.cert.empty() && !server.use_tls(options.tls, error)) || !server.listen(options.listen, error)) {
        std::fprintf(stderr, "collector: %s\n", error.c_str());
        return 2;
    }
    const bool pcap = !options.pcap_path.empty();
    auto totals = [&server, &output, &sink, pcap] {
        Totals totals;
        totals.server = server.counters();
        if (pcap) {
            totals.pcap_skipped = output.pcap_skipped();
        }
        if (sink) {
            totals.clickhouse = sink->counters();
        }
        if (const DnstapSocket* dnstap = output.dnstap_socket()) {
            totals.dnstap = dnstap->counters();
        }
        return totals;
    };
    std::unique_ptr<MetricsServer> metrics;
    if (!options.metrics.empty()) {
        metrics = std::make_unique<MetricsServer>([&agents, &output, &sink, pcap] {
            std::vector<CollectorMetric> others;
            if (pcap) {
                others.push_back(pcap_metric(output.pcap_skipped()));
            }
            if (sink) {
                const auto clickhouse = clickhouse_metrics(sink->counters());
                others.insert(others.end(), clickhouse.begin(), clickhouse.end());
            }
            if (const DnstapSocket* dnstap = output.dnstap_socket()) {
                const auto counts = dnstap_metrics(dnstap->counters());
                others.insert(others.end(), counts.begin(), counts.end());
            }
            const auto now = std::chrono::steady_clock::now().time_since_epoch();
            return render_metrics(agents.snapshot(), others,
                                  std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
        });
        if (!metrics->start(options.metrics, options.metrics_password, error)) {
            std::fprintf(stderr, "collector: %s\n", error.c_str());
            return 2;
        }
    }
    std::unique_ptr<LivePage> page;
    if (!options.web.address.empty()) {
        page = std::make_unique<LivePage>();
        if (!page->start(options.web, options.tls, [&agents, &output, &options, &sink] {
                return web_status(agents, output, options, sink.get());
            }, error)) {
            std::fprintf(stderr, "collector: %s\n", error.c_str());
            return 2;
        }
        output.add_tap(&page->tap());
    }
    // The listeners first: the sink asks ClickHouse from its own thread, so a
    // slow or hung server delays no agent. A table of another shape ends the run.
    if (sink && !sink->start(error, [&server] { server.stop(); })) {
        std::fprintf(stderr, "collector: %s\n", error.c_str());
        return 2;
    }
    g_server = &server;
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    action.sa_handler = on_hang_up;
    sigaction(SIGHUP, &action, nullptr);
    std::fprintf(stderr, "collector: %s\n", open_files.c_str());
    std::fprintf(stderr, "collector: listening on %s\n", server.local_address().c_str());
    if (metrics) {
        std::fprintf(stderr, "collector: metrics on %s\n", metrics->url().c_str());
    }
    if (page) {
        std::fprintf(stderr, "collector: page on %s\n", page->url().c_str());
    }
    std::unique_ptr<Ticker> stats;
    if (options.stats_interval > 0) {
        stats = std::make_unique<Ticker>(options.stats_interval, [&totals, &agents] {
            const std::string text = "collector: stats: " + totals_text(totals()) + "\n" +
                                     agent_lines("collector: stats: ", agents);
            std::fputs(text.c_str(), stderr);
        });
    }

    bool ok = server.run(error);
    stats.reset();
    if (!ok) {
        std::fprintf(stderr, "collector: %s\n", error.c_str());
    }
    // The data first: the sink flushes and the summary prints while the
    // endpoint still answers, and closing it then waits for no client.
    if (!output.close(error) && ok) {
        std::fprintf(stderr, "collector: %s\n", error.c_str());
        ok = false;
    }
    if (sink) {
        sink->stop();
    }
    const std::string summary = "collector: summary: " + totals_text(totals()) + "\n" +
                                agent_lines("collector: ", agents);
    std::fputs(summary.c_str(), stderr);
    metrics.reset();
    output.add_tap(nullptr);
    page.reset();
    return sink && sink->refused() ? 2 : ok ? 0 : 1;
}
