// The Linux build's capture settings: the keys, their defaults, and the
// source they install for the trace substitute.
#include "agent/capture_setup.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "capture/etw_api.h"
#include "config/config.h"
#include "error/error.h"
#include "substitute/trace_substitute.h"
#include "support/log_capture.h"

namespace kr::agent {
namespace {

using Lines = std::vector<std::string>;

Lines configured(const std::string& text) {
    kr::test::TempDir dir;
    std::ofstream(dir.file("agent.conf")) << text;
    kr::config::Config config;
    config.load(dir.file("agent.conf").c_str());
    kr::test::LogCapture log;
    configure_capture(config);
    return log.messages();
}

TEST(CaptureSetup, LogsTheCaptureAndItsPortWithDefaults) {
    EXPECT_EQ((Lines{"Config: capture = device:any", "Config: capture-port = 53"}), configured(""));
    EXPECT_EQ((Lines{"Config: capture = file:/tmp/a b.pcap", "Config: capture-port = 5353"}),
              configured("capture file:/tmp/a b.pcap\ncapture-port 5353\n"));
    EXPECT_EQ((Lines{"Config: capture = device:eth0", "Config: capture-port = 65535"}),
              configured("CAPTURE device:eth0\ncapture-port 65535\ncapture device:lo\n"));
    // Malformed values fall back to the defaults.
    for (const char* value : {"eth0", "file:", "device:", "pipe:x"}) {
        EXPECT_EQ("Config: capture = device:any", configured(std::string("capture ") + value + "\n").at(0)) << value;
    }
    for (const char* value : {"0", "65536", "-53", "x", "99999999999"}) {
        EXPECT_EQ("Config: capture-port = 53", configured(std::string("capture-port ") + value + "\n").at(1))
            << value;
    }
    // The number rule: leading space and sign, digits up to the first other byte.
    EXPECT_EQ("Config: capture-port = 8053", configured("capture-port +8053udp\n").at(1));
    kr::capture::trace_substitute_reset();
}

// The installed source is what a trace opened afterwards reads: a missing
// file makes the open fail with the capture library's text.
TEST(CaptureSetup, InstallsTheSourceThatTracesOpen) {
    kr::test::TempDir dir;
    const std::string missing = dir.file("none.pcap");
    configured("capture file:" + missing + "\n");
    const auto& etw = kr::capture::trace_substitute_api();
    std::vector<std::uint8_t> block(sizeof(EVENT_TRACE_PROPERTIES) + 16, 0);
    auto* properties = reinterpret_cast<EVENT_TRACE_PROPERTIES*>(block.data());
    properties->Wnode.BufferSize = static_cast<ULONG>(block.size());
    properties->LogFileMode = EVENT_TRACE_REAL_TIME_MODE;
    properties->LoggerNameOffset = sizeof(EVENT_TRACE_PROPERTIES);
    TRACEHANDLE controller = 0;
    ASSERT_EQ(ERROR_SUCCESS, etw.start_trace(&controller, "capture-setup-test", properties));
    EVENT_TRACE_LOGFILEA logfile{};
    logfile.LoggerName = const_cast<char*>("capture-setup-test");
    logfile.ProcessTraceMode = PROCESS_TRACE_MODE_REAL_TIME | PROCESS_TRACE_MODE_EVENT_RECORD;
    logfile.EventRecordCallback = [](PEVENT_RECORD) {};
    EXPECT_EQ(INVALID_PROCESSTRACE_HANDLE, etw.open_trace(&logfile));
    EXPECT_EQ("pcap_open_offline(" + missing + "): " + missing + ": No such file or directory",
              kr::error::system_error_text(static_cast<std::int32_t>(etw.last_error())));
    kr::capture::trace_substitute_reset();
}

}  // namespace
}  // namespace kr::agent
