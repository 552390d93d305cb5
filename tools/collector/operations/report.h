#pragma once
// What the collector tells the operator on stderr: the totals and one line
// per agent, at exit and, when asked, every few seconds while it runs.
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "input/server.h"
#include "outputs/clickhouse/clickhouse_sink.h"
#include "outputs/output.h"

namespace kr::collector {

// "connections N, records N, events N, errors N", then ", left out of the
// capture file N" when `pcap`, then the ClickHouse counts when `sink`, then
// the dnstap receiver's counts when there is one.
std::string totals_text(const Server& server, const Output& output, bool pcap, const ClickHouseSink* sink);
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
