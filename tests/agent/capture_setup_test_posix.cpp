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

// The settings of the source that the configuration installs.
std::string configured(const std::string& text) {
    kr::test::TempDir dir;
    std::ofstream(dir.file("agent.conf")) << text;
    kr::config::Config config;
    config.load(dir.file("agent.conf").c_str());
    kr::test::LogCapture log;
    configure_capture(config);
    // Read before the log opens: they are logged when the capture opens.
    EXPECT_EQ(Lines{}, log.messages());
    return capture_settings();
}

TEST(CaptureSetup, SettingsAndTheirDefaults) {
    const std::string live = ", snap length 262144, block time-out 10 ms";
    EXPECT_EQ("device:any, port 53, buffer 67108864 bytes" + live, configured(""));
    EXPECT_EQ("file:/tmp/a b.pcap, port 5353", configured("capture file:/tmp/a b.pcap\ncapture-port 5353\n"));
    EXPECT_EQ("device:eth0, port 65535, buffer 1048576 bytes" + live,
              configured("CAPTURE device:eth0\ncapture-port 65535\ncapture device:lo\ncapture-buffer 1048576\n"));
    // Malformed values fall back to the defaults.
    for (const char* value : {"eth0", "file:", "device:", "pipe:x"}) {
        EXPECT_EQ(0u, configured(std::string("capture ") + value + "\n").find("device:any, ")) << value;
    }
    for (const char* value : {"0", "65536", "-53", "x", "99999999999"}) {
        EXPECT_EQ(0u, configured(std::string("capture-port ") + value + "\n").find("device:any, port 53, ")) << value;
    }
    for (const char* value : {"0", "-1", "x"}) {
        EXPECT_NE(std::string::npos, configured(std::string("capture-buffer ") + value + "\n").find(" 67108864 "))
            << value;
    }
    // The number rule: leading space and sign, digits up to the first other byte.
    EXPECT_EQ(0u, configured("capture-port +8053udp\n").find("device:any, port 8053, "));
    kr::substitute::trace_substitute_reset();
}

// The installed source is what a trace opened afterwards reads: a missing
// file makes the open fail with the capture library's text.
TEST(CaptureSetup, InstallsTheSourceThatTracesOpen) {
    kr::test::TempDir dir;
    const std::string missing = dir.file("none.pcap");
    configured("capture file:" + missing + "\n");
    const auto& etw = kr::substitute::trace_substitute_api();
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
    kr::substitute::trace_substitute_reset();
}

}  // namespace
}  // namespace kr::agent
