// Records per second that the collector's server loop ingests from one
// loopback connection, in plaintext and through TLS (with a client
// certificate), and with the live page's counts: 100-byte event messages,
// JSON lines to /dev/null; and the
// CPU time of the server loop's thread per million events. Then the same in
// plaintext into a dnstap file (to /dev/null) and into a real fstrm_capture
// on a Unix socket, whose frames count as done only once the receiver's
// socket took them (the sender thread's CPU time is not in the figure).
// Last, plaintext JSON again while 2000 idle agents (connected, hello sent,
// then silent) are held open beside the streaming one: what a flood of idle
// connections costs the agent that streams.
#include <benchmark/benchmark.h>

#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "input/server.h"
#include "operations/live_counts.h"
#include "operations/agents.h"
#include "outputs/output.h"
#include "tests/support/collector_process.h"
#include "tests/support/wire.h"

namespace {

using kr::collector::test::ByteVector;
namespace wire = kr::collector::test;

constexpr std::size_t kMessageSize = 100;
constexpr int kBatch = 10000;

// One 100-byte event message: the first label of the question fills it up.
ByteVector message_of_100_bytes() {
    const std::string client = "192.0.2.10";
    const std::string server = "192.0.2.1";
    const std::size_t fixed = 8 + client.size() + server.size() + 12 + 4;  // message head, DNS header, type, class
    const std::size_t name_wire = kMessageSize - fixed;
    const std::string label(name_wire - 14, 'q');  // name_wire = (1 + label) + (1 + 7) + (1 + 3) + 1
    const ByteVector message =
        wire::event_message(1796624400, client, server, 0, wire::dns_packet(0x2222, 0x0100, label + ".example.com"));
    if (message.size() != kMessageSize) {
        std::fprintf(stderr, "bench message is %zu bytes\n", message.size());
        std::abort();
    }
    return message;
}

void send_all(wire::AgentSocket& agent, const ByteVector& bytes) {
    if (!agent.send(bytes)) {
        std::fprintf(stderr, "send failed\n");
        std::abort();
    }
}

double thread_cpu_seconds(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// Certificates made once for the TLS runs, removed at exit.
struct Certificates {
    Certificates() {
        char name[] = "/tmp/bench-collector-XXXXXX";
        dir = mkdtemp(name) != nullptr ? name : "";
        made = !dir.empty() && wire::make_certificates(dir);
    }
    ~Certificates() {
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }
    std::string file(const char* name) const { return dir + "/" + name; }
    std::string dir;
    bool made = false;
};

extern "C" char** environ;

// fstrm_capture on a Unix socket, writing to /dev/null, for the life of the object.
class Capture {
public:
    Capture() : socket_("/tmp/bench-collector-dnstap-" + std::to_string(getpid()) + ".sock") {
        const char* argv[] = {"fstrm_capture", "-t", "protobuf:dnstap.Dnstap", "-u", socket_.c_str(), "-w", "/dev/null",
                              nullptr};
        if (posix_spawnp(&pid_, argv[0], nullptr, nullptr, const_cast<char**>(argv), environ) != 0) {
            pid_ = -1;
        }
        for (int i = 0; i < 100 && !std::filesystem::exists(socket_); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    ~Capture() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
        std::filesystem::remove(socket_);
    }
    std::string target() const { return "unix:" + socket_; }

private:
    std::string socket_;
    pid_t pid_ = -1;
};

// Every frame of the socket output taken by the receiver or counted as dropped.
bool socket_done(const kr::collector::Output& output, std::uint64_t expected) {
    const auto* dnstap = output.dnstap_socket();
    if (dnstap == nullptr) {
        return true;
    }
    const auto counts = dnstap->counters();
    return counts.sent + counts.dropped >= expected;
}

std::uint16_t agent_port(const std::string& address) {
    return static_cast<std::uint16_t>(std::atoi(address.c_str() + address.rfind(':') + 1));
}

using Open = std::function<bool(kr::collector::Output&, std::string&)>;

void ingest(benchmark::State& state, bool tls, const Open& open, int idle = 0) {
    static const Certificates certificates;
    if (tls && !certificates.made) {
        state.SkipWithError("openssl could not make the certificates");
        return;
    }
    std::FILE* notes = std::fopen("/dev/null", "w");
    kr::collector::Output output(notes);
    std::string error;
    if (!open(output, error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    kr::collector::AgentTable agents(kr::collector::kDefaultMaxAgents);
    kr::collector::Server server(output, agents, 1024 * 1024, notes);
    const kr::collector::TlsOptions files{certificates.file("collector.pem"), certificates.file("collector.key"),
                                          certificates.file("ca.pem")};
    if ((tls && !server.use_tls(files, error)) || !server.listen("127.0.0.1:0", error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    std::thread loop([&] {
        std::string ignored;
        server.run(ignored);
    });
    clockid_t loop_clock{};
    pthread_getcpuclockid(loop.native_handle(), &loop_clock);
    const std::string address = server.local_address();
    wire::AgentSocket agent(agent_port(address));
    if (!agent.connected() ||
        (tls && !agent.start_tls(certificates.file("ca.pem"), certificates.file("agent.pem"),
                                 certificates.file("agent.key")))) {
        std::fprintf(stderr, "cannot connect%s\n", tls ? " with TLS" : "");
        std::abort();
    }
    send_all(agent, wire::record(wire::hello()));
    std::vector<std::unique_ptr<wire::AgentSocket>> quiet;
    const std::uint64_t connected = server.counters().connections;
    for (int i = 0; i < idle; ++i) {
        quiet.push_back(std::make_unique<wire::AgentSocket>(agent_port(address)));
        send_all(*quiet.back(), wire::record(wire::hello()));
    }
    while (server.counters().connections < connected + static_cast<std::uint64_t>(idle)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }

    ByteVector batch;
    const ByteVector one = wire::record(message_of_100_bytes());
    for (int i = 0; i < kBatch; ++i) {
        wire::append(batch, one);
    }
    std::uint64_t expected = 0;
    const double cpu_start = thread_cpu_seconds(loop_clock);
    for (auto _ : state) {
        send_all(agent, batch);
        expected += kBatch;
        // Sleep rather than spin: the server loop needs the CPU more.
        while (server.counters().events < expected || !socket_done(output, expected)) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    }
    const double cpu = thread_cpu_seconds(loop_clock) - cpu_start;
    if (const auto* dnstap = output.dnstap_socket()) {
        state.counters["dropped"] = static_cast<double>(dnstap->counters().dropped);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(expected));
    state.SetBytesProcessed(static_cast<std::int64_t>(expected * one.size()));
    state.counters["cpu_s_per_M_events"] = cpu / (static_cast<double>(expected) / 1e6);
    agent.close();
    quiet.clear();
    server.stop();
    loop.join();
    std::string ignored;
    output.close(ignored);
    std::fclose(notes);
}

// Argument 1: through TLS.
void BM_IngestOneConnection(benchmark::State& state) {
    ingest(state, state.range(0) == 1, [](kr::collector::Output& output, std::string& error) {
        return output.open_json("/dev/null", error);
    });
}

// Argument 0: into a dnstap file; 1: into fstrm_capture.
void BM_IngestDnstap(benchmark::State& state) {
    if (state.range(0) == 0) {
        ingest(state, false, [](kr::collector::Output& output, std::string& error) {
            return output.open_dnstap("/dev/null", error);
        });
        return;
    }
    Capture capture;
    ingest(state, false, [&capture](kr::collector::Output& output, std::string& error) {
        return output.open_dnstap_socket(capture.target(), 64ull * 1024 * 1024, error);
    });
}

// JSON lines as in BM_IngestOneConnection/0, without (argument 0) and with
// (1) the live page's counts; in turns, twice, so that the machine's load
// weighs on both alike.
void BM_IngestLivePage(benchmark::State& state) {
    kr::collector::LiveCounts counts;
    ingest(state, false, [&counts, &state](kr::collector::Output& output, std::string& error) {
        if (state.range(0) == 1) {
            output.add_tap(&counts);
        }
        return output.open_json("/dev/null", error);
    });
}

// Argument: idle connections held while one agent streams.
void BM_IngestBesideIdleConnections(benchmark::State& state) {
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;  // two descriptors per idle connection in this process
    setrlimit(RLIMIT_NOFILE, &files);
    const auto json = [](kr::collector::Output& output, std::string& error) {
        return output.open_json("/dev/null", error);
    };
    ingest(state, false, json, static_cast<int>(state.range(0)));
}

// 100 batches: one million events per run.
BENCHMARK(BM_IngestOneConnection)->Arg(0)->Arg(1)->Iterations(100)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_IngestDnstap)->Arg(0)->Arg(1)->Iterations(100)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_IngestLivePage)->Arg(0)->Arg(1)->Arg(0)->Arg(1)->Iterations(100)->UseRealTime()->Unit(
    benchmark::kMillisecond);
BENCHMARK(BM_IngestBesideIdleConnections)
    ->Arg(0)
    ->Arg(2000)
    ->Arg(0)
    ->Arg(2000)
    ->Iterations(100)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
