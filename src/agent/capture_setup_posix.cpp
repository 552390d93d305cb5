#include <algorithm>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "agent/capture_setup.h"
#include "config/problems.h"
#include "substitute/trace_substitute.h"
#include "traffic/pcap_source.h"

namespace kr::agent {

namespace {

constexpr char kDefaultCapture[] = "device:any";
constexpr int kDefaultPort = 53;

// The source of the run, kept for its counters.
std::shared_ptr<kr::traffic::PcapEventSource> current_source;
std::string current_config;

// "file:PATH" or "device:NAME" with something after the colon; anything
// else is malformed and falls back to the default.
bool valid_capture(const std::string& value) {
    for (const std::string prefix : {"file:", "device:"}) {
        if (value.size() > prefix.size() && value.compare(0, prefix.size(), prefix) == 0) return true;
    }
    return false;
}

// The number rule; out of 1..max (or malformed) gives the default.
std::uint32_t number_or(const kr::config::Config& config, const char* key, std::int32_t max, std::uint32_t fallback) {
    const char* text = config.get(key);
    if (!text) return fallback;
    const std::int32_t number = kr::config::parse_number(text);
    return number > 0 && number <= max ? static_cast<std::uint32_t>(number) : fallback;
}

}  // namespace

// The settings are read before the log opens; the source logs them when the
// capture opens, so they are in the log.
void configure_capture(const kr::config::Config& config) {
    const char* text = config.get("capture");
    const std::string capture = text && valid_capture(text) ? text : kDefaultCapture;
    const auto port = static_cast<std::uint16_t>(number_or(config, "capture-port", 65535, kDefaultPort));
    const std::uint32_t buffer = number_or(config, "capture-buffer", INT32_MAX,
                                           kr::traffic::PcapEventSource::kDefaultBufferBytes);
    if (text && capture != text) {
        kr::config::add_problem(*config.find("capture"), "capture \"" + std::string(text) +
                                                             "\" is neither file:PATH nor device:NAME: " + capture +
                                                             " is used");
    }
    kr::config::check_number(config.find("capture-port"), 1, 65535, port);
    // What the ring gets: a small buffer is raised (the capture says so when it opens).
    const std::uint32_t used = std::max(buffer, kr::traffic::PcapEventSource::kMinimumBufferBytes);
    kr::config::check_number(config.find("capture-buffer"), 1, INT32_MAX, used);
    current_config = "capture " + capture + "\ncapture-port " + std::to_string(port) + "\ncapture-buffer " +
                     std::to_string(used) + "\n";
    current_source = std::make_shared<kr::traffic::PcapEventSource>(capture, port, buffer);
    kr::substitute::trace_set_event_source(current_source);
}

// The capture opens when the trace is opened (the device or file): a failure
// up to there means it cannot start; the processing loop's own are logged.
bool capture_failure_ends_run(kr::capture::SessionStep step) { return step != kr::capture::SessionStep::process; }

std::string capture_config() { return current_config; }

std::string capture_settings() { return current_source ? current_source->settings() : std::string(); }

void append_capture_stats(std::string& line) {
    if (!current_source) return;
    const kr::traffic::PcapEventSource& s = *current_source;
    char text[256];
    std::snprintf(text, sizeof text,
                  " packets=%" PRIu64 " dns_messages=%" PRIu64 " not_dns=%" PRIu64 " tcp_skipped=%" PRIu64
                  " kernel_drops=%" PRIu64,
                  s.packets(), s.events(), s.not_dns(), s.tcp_skipped(), s.kernel_drops());
    line += text;
}

}  // namespace kr::agent
