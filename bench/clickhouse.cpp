// Sustained rows per second from 1 000 000 events sent over one loopback
// agent connection through the real collector into a real local
// clickhouse-server (default batches: 50 000 rows / 1 s), and the
// collector's CPU time per row; then the same with the server stopped, so
// every batch goes to the spool. Prints its figures; runs for a minute or so.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "tests/support/clickhouse_server.h"
#include "tests/support/collector_process.h"
#include "tests/support/wire.h"

namespace {

namespace test = kr::collector::test;
using Clock = std::chrono::steady_clock;

constexpr int kEvents = 1000000;

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

std::uint64_t spooled_rows(const std::string& dir) {
    std::uint64_t rows = 0;
    std::error_code code;
    for (const auto& entry : std::filesystem::directory_iterator(dir, code)) {
        const std::string name = entry.path().filename().string();
        const std::size_t dash = name.find('-');
        if (name.size() > 6 && name.compare(name.size() - 6, 6, ".batch") == 0 && dash != std::string::npos) {
            rows += std::stoull(name.substr(dash + 1));
        }
    }
    return rows;
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

    {
        test::CollectorProcess collector({"--listen", "127.0.0.1:0", "--clickhouse", server.url()});
        const std::uint16_t port = collector.wait_listening();
        test::AgentSocket agent(port);
        const double cpu_before = cpu_seconds(collector.pid());
        const Clock::time_point start = Clock::now();
        agent.send(bytes);
        const double sent = seconds_since(start);
        std::string count;
        while (seconds_since(start) < 300) {
            count = server.query("SELECT count() FROM dns_events");
            if (count == std::to_string(kEvents)) {
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        const double elapsed = seconds_since(start);
        const double cpu = cpu_seconds(collector.pid()) - cpu_before;
        std::printf("into ClickHouse: %s rows in %.2f s (sent in %.2f s): %.0f rows/s; collector CPU %.2f s, "
                    "%.0f ns per row\n",
                    count.c_str(), elapsed, sent, kEvents / elapsed, cpu, cpu * 1e9 / kEvents);
        collector.signal(SIGTERM);
        collector.wait_exit(60000);
        const std::string& notes = collector.stderr_text();
        std::printf("  %s", notes.substr(notes.find("summary")).c_str());
    }

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
                    "%.0f rows/s; collector CPU %.2f s, %.0f ns per row\n",
                    static_cast<unsigned long long>(rows), elapsed, kEvents / elapsed, cpu, cpu * 1e9 / kEvents);
        collector.signal(SIGTERM);
        collector.wait_exit(60000);
        const std::string& notes = collector.stderr_text();
        std::printf("  %s", notes.substr(notes.find("summary")).c_str());
    }
    std::filesystem::remove_all(spool);
    return 0;
}
