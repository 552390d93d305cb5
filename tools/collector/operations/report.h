#pragma once
// What the collector tells the operator on stderr: the totals and one line
// per agent, at exit and, when asked, every few seconds while it runs.
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "input/server.h"
#include "operations/agents.h"
#include "outputs/clickhouse/clickhouse_sink.h"
#include "outputs/dnstap_socket.h"

namespace kr::collector {

// What a totals line reads; the optional outputs' counts only when in use.
struct Totals {
    Server::Counters server;
    std::optional<std::uint64_t> pcap_skipped;
    std::optional<ClickHouseSink::Counters> clickhouse;
    std::optional<DnstapSocket::Counters> dnstap;
};

// "connections N, records N, events N, errors N", then ", left out of the
// capture file N", the ClickHouse counts and the dnstap receiver's counts
// when `totals` has them.
std::string totals_text(const Totals& totals);
// One "<prefix>agent ...\n" line per agent (see agent_line()).
std::string agent_lines(const std::string& prefix, const AgentTable& agents);

// Calls `tick` every `seconds` from its own thread until stop().
class Ticker {
public:
    Ticker(std::uint32_t seconds, std::function<void()> tick);
    ~Ticker();
    Ticker(const Ticker&) = delete;
    Ticker& operator=(const Ticker&) = delete;
    void stop();

private:
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace kr::collector
