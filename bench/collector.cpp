// Records per second that the collector's server loop ingests from one
// loopback connection: 100-byte event messages, JSON lines to /dev/null.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "input/server.h"
#include "outputs/output.h"
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

int connect_to(const std::string& address) {
    const std::size_t colon = address.rfind(':');
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(static_cast<std::uint16_t>(std::atoi(address.c_str() + colon + 1)));
    target.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&target), sizeof target) != 0) {
        std::perror("connect");
        std::abort();
    }
    return fd;
}

void send_all(int fd, const ByteVector& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            std::perror("send");
            std::abort();
        }
        sent += static_cast<std::size_t>(n);
    }
}

void BM_IngestOneConnection(benchmark::State& state) {
    std::FILE* notes = std::fopen("/dev/null", "w");
    kr::collector::Output output(notes);
    std::string error;
    if (!output.open_json("/dev/null", error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    kr::collector::Server server(output, 1024 * 1024, notes);
    if (!server.listen("127.0.0.1:0", error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    std::thread loop([&] {
        std::string ignored;
        server.run(ignored);
    });
    const int fd = connect_to(server.local_address());
    send_all(fd, wire::record(wire::hello()));

    ByteVector batch;
    const ByteVector one = wire::record(message_of_100_bytes());
    for (int i = 0; i < kBatch; ++i) {
        wire::append(batch, one);
    }
    std::uint64_t expected = 0;
    for (auto _ : state) {
        send_all(fd, batch);
        expected += kBatch;
        // Sleep rather than spin: the server loop needs the CPU more.
        while (server.events() < expected) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(expected));
    state.SetBytesProcessed(static_cast<std::int64_t>(expected * one.size()));
    close(fd);
    server.stop();
    loop.join();
    std::fclose(notes);
}
BENCHMARK(BM_IngestOneConnection)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
