#include <cinttypes>
#include <cstdio>
#include <memory>
#include <string>

#include "agent/capture_setup.h"
#include "log/log.h"
#include "substitute/trace_substitute.h"
#include "traffic/pcap_source.h"

namespace kr::agent {

namespace {

constexpr char kDefaultCapture[] = "device:any";
constexpr int kDefaultPort = 53;

// The source of the run, kept for its counters.
std::shared_ptr<kr::capture::PcapEventSource> current_source;

// "file:PATH" or "device:NAME" with something after the colon; anything
// else is malformed and falls back to the default.
bool valid_capture(const std::string& value) {
    for (const std::string prefix : {"file:", "device:"}) {
        if (value.size() > prefix.size() && value.compare(0, prefix.size(), prefix) == 0) return true;
    }
    return false;
}

}  // namespace

void configure_capture(const kr::config::Config& config) {
    const char* text = config.get("capture");
    const std::string capture = text && valid_capture(text) ? text : kDefaultCapture;
    kr::log::log_print("Config: capture = %s", capture.c_str());

    int port = kDefaultPort;
    if (const char* port_text = config.get("capture-port")) {
        const std::int32_t number = kr::config::parse_number(port_text);
        if (number > 0 && number <= 65535) port = number;
    }
    kr::log::log_print("Config: capture-port = %d", port);

    current_source = std::make_shared<kr::capture::PcapEventSource>(capture, static_cast<std::uint16_t>(port));
    kr::capture::trace_set_event_source(current_source);
}

void append_capture_stats(std::string& line) {
    if (!current_source) return;
    const kr::capture::PcapEventSource& s = *current_source;
    char text[256];
    std::snprintf(text, sizeof text,
                  " packets=%" PRIu64 " dns_messages=%" PRIu64 " not_dns=%" PRIu64 " tcp_skipped=%" PRIu64
                  " kernel_drops=%" PRIu64,
                  s.packets(), s.events(), s.not_dns(), s.tcp_skipped(), s.kernel_drops());
    line += text;
}

}  // namespace kr::agent
