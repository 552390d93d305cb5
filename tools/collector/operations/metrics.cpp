#include "operations/metrics.h"

#include <arpa/inet.h>
#include <httplib.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "options/options.h"

namespace kr::collector {

namespace {

// Scrapes are rare and quick: a few threads are plenty. A client that
// finds every slot taken is closed at once, so idle or slow connections
// cannot use up the collector's file descriptors.
constexpr std::size_t kHttpThreads = 4;
constexpr int kMaxConnections = 8;
// One request per connection, read and answered within this time whatever
// pace the client keeps; a scraper sends its request at once.
constexpr auto kConnectionTime = std::chrono::seconds(5);
// How often a waiting read or write looks whether the endpoint is closing.
constexpr int kPollSliceMs = 100;

struct Family {
    const char* name;
    const char* type;
    const char* help;
};

void header(std::string& out, const Family& family) {
    out += "# HELP ";
    out += family.name;
    out += ' ';
    out += family.help;
    out += "\n# TYPE ";
    out += family.name;
    out += ' ';
    out += family.type;
    out += '\n';
}

// Peers are numeric addresses or "other": nothing in them needs escaping.
void sample(std::string& out, const Family& family, const std::string& peer, const std::string& value) {
    out += family.name;
    out += "{peer=\"";
    out += peer;
    out += "\"} ";
    out += value;
    out += '\n';
}

}  // namespace

std::string render_metrics(const std::vector<AgentCounts>& agents, const std::vector<CollectorMetric>& others,
                           std::int64_t now_ms) {
    using Field = std::uint64_t AgentCounts::*;
    static const struct {
        Family family;
        Field field;
    } counters[] = {
        {{"collector_connections_total", "counter", "Agent connections accepted."}, &AgentCounts::connections},
        {{"collector_open_connections", "gauge", "Agent connections open now."}, &AgentCounts::open},
        {{"collector_records_total", "counter", "Records received, hellos included."}, &AgentCounts::records},
        {{"collector_events_total", "counter", "Event messages received (one JSON line each)."}, &AgentCounts::events},
        {{"collector_received_bytes_total", "counter", "Bytes received from agents, length prefixes included."},
         &AgentCounts::bytes},
        {{"collector_format_errors_total", "counter", "Connections closed for a malformed record."},
         &AgentCounts::format_errors},
        {{"collector_broken_connections_total", "counter",
          "Connections that failed a read or ended inside a record."},
         &AgentCounts::broken},
    };
    std::string out;
    for (const auto& counter : counters) {
        header(out, counter.family);
        for (const AgentCounts& agent : agents) {
            sample(out, counter.family, agent.peer, std::to_string(agent.*counter.field));
        }
    }
    const Family first{"collector_first_event_timestamp_seconds", "gauge",
                       "Time the agent's first event carries, in seconds since 1970."};
    const Family last{"collector_last_event_timestamp_seconds", "gauge",
                      "Time the agent's latest event carries, in seconds since 1970."};
    for (const Family* family : {&first, &last}) {
        header(out, *family);
        for (const AgentCounts& agent : agents) {
            if (agent.has_events) {
                sample(out, *family, agent.peer,
                       std::to_string(family == &first ? agent.first_event_time : agent.last_event_time));
            }
        }
    }
    const Family age{"collector_last_record_age_seconds", "gauge",
                     "Seconds since a connected agent's last record (or its connection, before any record)."};
    header(out, age);
    for (const AgentCounts& agent : agents) {
        if (agent.open > 0) {
            char text[32];
            std::snprintf(text, sizeof text, "%.3f", static_cast<double>(now_ms - agent.last_record_ms) / 1000.0);
            sample(out, age, agent.peer, text);
        }
    }
    for (const CollectorMetric& metric : others) {
        header(out, {metric.name, metric.type, metric.help});
        out += metric.name;
        out += ' ' + std::to_string(metric.value) + '\n';
    }
    return out;
}

CollectorMetric pcap_metric(std::uint64_t skipped) {
    return {"collector_pcap_skipped_events_total", "counter", "Events left out of the capture file.", skipped};
}

std::vector<CollectorMetric> clickhouse_metrics(const ClickHouseSink::Counters& c) {
    return {
        {"collector_clickhouse_rows_inserted_total", "counter", "Rows ClickHouse accepted.", c.rows_inserted},
        {"collector_clickhouse_batches_inserted_total", "counter", "Batches ClickHouse accepted.", c.batches_inserted},
        {"collector_clickhouse_batches_spooled_total", "counter", "Batches written to the spool.", c.batches_spooled},
        {"collector_clickhouse_batches_replayed_total", "counter", "Batches inserted from the spool.",
         c.batches_replayed},
        {"collector_clickhouse_batches_dropped_total", "counter",
         "Batches lost: memory or spool full, or the spool unwritable.", c.batches_dropped},
        {"collector_clickhouse_rows_dropped_total", "counter", "Rows in the batches lost.", c.rows_dropped},
        {"collector_clickhouse_spool_batches", "gauge", "Batches in the spool now.", c.spool_batches},
        {"collector_clickhouse_batches_quarantined_total", "counter",
         "Spool files moved to quarantine/: failed their check or refused as malformed.", c.batches_quarantined},
        {"collector_clickhouse_failing", "gauge", "1 while inserts fail (rows are held), else 0.", c.failing},
        {"collector_clickhouse_configuration_error", "gauge",
         "1 while inserts fail for a reason only the configuration can fix (user, grants, table), else 0.",
         c.configuration_error},
        {"collector_clickhouse_last_error_code", "gauge",
         "ClickHouse's exception code of the last failed insert (0: none or no answer).", c.last_error_code},
    };
}

std::vector<CollectorMetric> dnstap_metrics(const DnstapSocket::Counters& c) {
    return {
        {"collector_dnstap_frames_sent_total", "counter", "dnstap frames the receiver's socket took.", c.sent},
        {"collector_dnstap_frames_dropped_total", "counter",
         "dnstap frames lost: queue full, connection broken, or still queued at exit.", c.dropped},
        {"collector_dnstap_connections_total", "counter", "Connections made to the dnstap receiver.", c.connects},
    };
}

namespace {

// Set on the accepting thread while it closes a connection over the limit.
thread_local bool t_refuse = false;

// A connection's socket for the HTTP parser, with one deadline for the
// whole exchange and an end as soon as the endpoint closes.
class DeadlineStream : public httplib::Stream {
public:
    DeadlineStream(int fd, std::chrono::steady_clock::time_point deadline, const std::atomic<bool>& closing)
        : fd_(fd), deadline_(deadline), closing_(closing) {}

    bool is_readable() const override { return wait(POLLIN); }
    bool is_writable() const override { return wait(POLLOUT); }
    ssize_t read(char* data, size_t size) override {
        return wait(POLLIN) ? ::recv(fd_, data, size, 0) : -1;
    }
    ssize_t write(const char* data, size_t size) override {
        return wait(POLLOUT) ? ::send(fd_, data, size, MSG_NOSIGNAL) : -1;
    }
    void get_remote_ip_and_port(std::string& ip, int& port) const override { address(::getpeername, ip, port); }
    void get_local_ip_and_port(std::string& ip, int& port) const override { address(::getsockname, ip, port); }
    int socket() const override { return fd_; }

private:
    bool wait(short events) const {
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  deadline_ - std::chrono::steady_clock::now())
                                  .count();
            if (left <= 0 || closing_) {
                return false;
            }
            pollfd poller{fd_, events, 0};
            const int ready = ::poll(&poller, 1, static_cast<int>(std::min<long long>(left, kPollSliceMs)));
            if (ready > 0) {
                return true;
            }
            if (ready < 0 && errno != EINTR) {
                return false;
            }
        }
    }
    void address(int (*get)(int, sockaddr*, socklen_t*), std::string& ip, int& port) const {
        sockaddr_storage storage{};
        socklen_t length = sizeof storage;
        char text[INET6_ADDRSTRLEN] = "";
        port = 0;
        if (get(fd_, reinterpret_cast<sockaddr*>(&storage), &length) == 0) {
            const bool v6 = storage.ss_family == AF_INET6;
            const auto* in4 = reinterpret_cast<const sockaddr_in*>(&storage);
            const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&storage);
            inet_ntop(storage.ss_family, v6 ? static_cast<const void*>(&in6->sin6_addr) : &in4->sin_addr, text,
                      sizeof text);
            port = ntohs(v6 ? in6->sin6_port : in4->sin_port);
        }
        ip = text;
    }

    int fd_;
    std::chrono::steady_clock::time_point deadline_;
    const std::atomic<bool>& closing_;
};

// The library's server, serving each connection through DeadlineStream.
class BoundedServer : public httplib::Server {
public:
    std::atomic<bool> closing{false};

private:
    bool process_and_close_socket(int fd) override {
        bool served = false;
        if (!t_refuse) {
            DeadlineStream stream(fd, std::chrono::steady_clock::now() + kConnectionTime, closing);
            bool closed = false;
            served = process_request(stream, true, closed, nullptr);
        }
        ::shutdown(fd, SHUT_RDWR);
        ::close(fd);
        return served;
    }
};

// The library's pool behind a count of the connections it holds; the
// accepting thread closes one over the limit itself.
class BoundedQueue : public httplib::TaskQueue {
public:
    BoundedQueue() : pool_(kHttpThreads) {}
    void enqueue(std::function<void()> serve) override {
        if (held_.fetch_add(1) >= kMaxConnections) {
            t_refuse = true;
            serve();
            t_refuse = false;
            --held_;
            return;
        }
        pool_.enqueue([this, serve = std::move(serve)] {
            serve();
            --held_;
        });
    }
    void shutdown() override { pool_.shutdown(); }

private:
    httplib::ThreadPool pool_;
    std::atomic<int> held_{0};
};

}  // namespace

struct MetricsServer::Impl {
    BoundedServer http;
    std::thread thread;
    std::atomic<bool> ended{false};
    std::string url;
};

MetricsServer::MetricsServer(std::function<std::string()> render) : impl_(std::make_unique<Impl>()) {
    impl_->http.new_task_queue = [] { return new BoundedQueue; };
    // The library's default lets a second process listen on the same port
    // (SO_REUSEPORT) and take every other scrape; only quick restarts are
    // wanted, so a port in use is refused.
    impl_->http.set_socket_options([](int fd) {
        int yes = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    impl_->http.Get("/metrics", [render = std::move(render)](const httplib::Request&, httplib::Response& response) {
        response.set_content(render(), "text/plain; version=0.0.4; charset=utf-8");
    });
}

MetricsServer::~MetricsServer() {
    stop();
}

bool MetricsServer::start(const std::string& address, std::string& error) {
    std::string host;
    std::uint16_t port = 0;
    if (!split_host_port(address, host, port)) {
        error = "bad metrics address '" + address + "'";
        return false;
    }
    errno = 0;
    const int bound = port == 0 ? impl_->http.bind_to_any_port(host) : impl_->http.bind_to_port(host, port) ? port : -1;
    if (bound <= 0) {
        const int code = errno;
        error = "cannot serve metrics on " + address + (code != 0 ? std::string(": ") + std::strerror(code) : "");
        return false;
    }
    const bool v6 = host.find(':') != std::string::npos;
    impl_->url = "http://" + (v6 ? "[" + host + "]" : host) + ":" + std::to_string(bound) + "/metrics";
    impl_->thread = std::thread([this] {
        impl_->http.listen_after_bind();
        impl_->ended = true;
    });
    // stop() does nothing to a server that is not running yet, so wait until it is.
    while (!impl_->http.is_running() && !impl_->ended) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

std::string MetricsServer::url() const {
    return impl_->url;
}

void MetricsServer::stop() {
    if (impl_->thread.joinable()) {
        impl_->http.closing = true;  // open connections end within a poll slice
        impl_->http.stop();
        impl_->thread.join();
    }
}

}  // namespace kr::collector
