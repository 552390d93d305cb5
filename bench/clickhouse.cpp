// Sustained rows per second from 1 000 000 events (one loopback agent
// connection, default batches: 50 000 rows / 1 s) through the real
// collector: first into the spool with a real local clickhouse-server
// stopped, then into the server, side by side with curl posting the very
// bodies the collector spooled (the same batches, one kept-alive
// connection) in turns: collector, curl, curl, collector. Prints rows/s,
// their ratio, the collector's CPU per row and the load average; runs for
// a minute or two.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "outputs/clickhouse/clickhouse_rows.h"
#include "outputs/clickhouse/http_post.h"
#include "tests/support/clickhouse_server.h"
#include "tests/support/collector_process.h"
#include "tests/support/wire.h"

namespace {

namespace test = kr::collector::test;
using Clock = std::chrono::steady_clock;

constexpr int kEvents = 1000000;
constexpr std::size_t kSpoolHeader = 40;

// Varied like real traffic: 20 000 names, 1 000 clients, queries and answers.
test::ByteVector events() {
    test::ByteVector bytes = test::record(test::hello());
    for (int n = 0; n < kEvents; ++n) {
        const std::string name = "host" + std::to_string(static_cast<long long>(n) * 7919 % 20000) + ".example.com";
        const std::uint16_t flags = n % 2 == 0 ? 0x0100 : (n % 34 == 1 ? 0x8183 : 0x8180);
        test::append(bytes, test::record(test::event_message(
                                1796624400 + n / 50000, "10.0." + std::to_string(n % 1000 / 250) + "." +
                                                            std::to_string(n % 250),
                                "10.1.0.53", n % 10 == 0 ? 1 : 0, test::dns_packet(static_cast<std::uint16_t>(n), flags, name))));
    }
    return bytes;
}

double cpu_seconds(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const std::size_t paren = text.rfind(')');
    unsigned long utime = 0;
    unsigned long stime = 0;
    std::sscanf(text.c_str() + paren + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime);
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string load_average() {
    std::ifstream file("/proc/loadavg");
    std::string one;
    file >> one;
    return one;
}

// The spool's batch files, oldest first.
std::vector<std::filesystem::path> batch_files(const std::string& dir) {
    std::vector<std::filesystem::path> files;
    std::error_code code;
    for (const auto& entry : std::filesystem::directory_iterator(dir, code)) {
        if (entry.path().extension() == ".batch") {
            files.push_back(entry.path());
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

std::uint64_t spooled_rows(const std::string& dir) {
    std::uint64_t rows = 0;
    for (const auto& file : batch_files(dir)) {
        const std::string name = file.filename().string();
        rows += std::stoull(name.substr(name.find('-') + 1));
    }
    return rows;
}

// Waits until the table holds `rows` (at most 300 s); the seconds since `start`.
double wait_rows(const test::ClickHouseServer& server, Clock::time_point start) {
    while (seconds_since(start) < 300 && server.query("SELECT count() FROM dns_events") != std::to_string(kEvents)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return seconds_since(start);
}

void fresh_table(const test::ClickHouseServer& server) {
    server.query("DROP TABLE IF EXISTS dns_events");
    kr::collector::HttpPost http;
    std::string error;
    const std::string create = kr::collector::create_table_sql("dns_events");
    http.post(server.url() + "?allow_experimental_low_cardinality_type=1", create, error);
}

// The collector end to end: rows/s from the first byte the agent sends to the last row in the table.
double collector_round(const test::ClickHouseServer& server, const test::ByteVector& bytes) {
    fresh_table(server);
    test::CollectorProcess collector({"--listen", "127.0.0.1:0", "--clickhouse", server.url()});
    test::AgentSocket agent(collector.wait_listening());
    const double cpu_before = cpu_seconds(collector.pid());
    const Clock::time_point start = Clock::now();
    agent.send(bytes);
    const double sent = seconds_since(start);
    const double elapsed = wait_rows(server, start);
    const double cpu = cpu_seconds(collector.pid()) - cpu_before;
    std::printf("  collector: %.0f rows/s (%.2f s, sent in %.2f s), collector CPU %.0f ns per row, load %s\n",
                kEvents / elapsed, elapsed, sent, cpu * 1e9 / kEvents, load_average().c_str());
    collector.signal(SIGTERM);
    collector.wait_exit(60000);
    return kEvents / elapsed;
}

// curl posting the bodies in turn over one connection (--next), as the collector does.
double curl_round(const test::ClickHouseServer& server, const std::vector<std::string>& bodies) {
    fresh_table(server);
    const std::string url =
        server.url() + "?query=" + kr::collector::HttpPost::escape(kr::collector::insert_sql("dns_events"));
    std::vector<std::string> args = {"curl", "-sS", "--fail", "-H", "Expect:"};
    for (const std::string& body : bodies) {
        args.insert(args.end(), {"--data-binary", "@" + body, url, "--next"});
    }
    args.pop_back();
    int status = -1;
    const Clock::time_point start = Clock::now();
    const std::string output = test::run_command(args, 300000, status);
    const double elapsed = wait_rows(server, start);
    std::printf("  curl:      %.0f rows/s (%.2f s), status %d%s, load %s\n", kEvents / elapsed, elapsed, status,
                output.c_str(), load_average().c_str());
    return kEvents / elapsed;
}

}  // namespace

int main() {
    test::ClickHouseServer server;
    std::string error;
    if (!server.start(error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    const test::ByteVector bytes = events();
    std::printf("%d events, %zu bytes on the wire\n", kEvents, bytes.size());

    server.stop();
    char name[] = "/tmp/bench-spool-XXXXXX";
    const std::string spool = mkdtemp(name);
    {
        test::CollectorProcess collector(
            {"--listen", "127.0.0.1:0", "--clickhouse", server.url(), "--spool", spool, "--spool-max", "10000000000"});
        const std::uint16_t port = collector.wait_listening();
        test::AgentSocket agent(port);
        const double cpu_before = cpu_seconds(collector.pid());
        const Clock::time_point start = Clock::now();
        agent.send(bytes);
        std::uint64_t rows = 0;
        // The last batch closes by age (1 s): it is in the spool about a second after the rest.
        while (seconds_since(start) < 300 && (rows = spooled_rows(spool)) < kEvents) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        const double elapsed = seconds_since(start);
        const double cpu = cpu_seconds(collector.pid()) - cpu_before;
        std::printf("into the spool (server stopped): %llu rows in %.2f s (the last batch closes by age after 1 s): "
                    "%.0f rows/s; collector CPU %.2f s, %.0f ns per row, load %s\n",
                    static_cast<unsigned long long>(rows), elapsed, kEvents / elapsed, cpu, cpu * 1e9 / kEvents,
                    load_average().c_str());
        collector.signal(SIGTERM);
        collector.wait_exit(60000);
    }
    // The spooled batches, headers stripped: the bodies the collector posts.
    std::vector<std::string> bodies;
    for (const auto& file : batch_files(spool)) {
        std::ifstream in(file, std::ios::binary);
        const std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        bodies.push_back(file.string() + ".body");
        std::ofstream(bodies.back(), std::ios::binary) << data.substr(kSpoolHeader);
    }
    if (!server.start(error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    std::printf("into ClickHouse, %zu bodies of up to 50 000 rows, in turns:\n", bodies.size());
    const double collector1 = collector_round(server, bytes);
    const double curl1 = curl_round(server, bodies);
    const double curl2 = curl_round(server, bodies);
    const double collector2 = collector_round(server, bytes);
    std::printf("collector / curl: %.2f (rounds 1 and 4 against 2 and 3: %.2f, %.2f)\n",
                (collector1 + collector2) / (curl1 + curl2), collector1 / curl2, collector2 / curl1);
    std::filesystem::remove_all(spool);
    return 0;
}
