#pragma once
// Writes capture files for tests and benchmarks on Linux (through libpcap's
// own dump functions, so the files are what capture tools write), and a
// pcapng file by hand, which libpcap can only read.
// Linux only: the implementation is pcap_file_posix.cpp.
#include <cstdint>
#include <string>
#include <vector>

struct pcap;
struct pcap_dumper;

namespace kr::test {

class PcapFileWriter {
public:
    // Throws std::runtime_error when the file cannot be created.
    PcapFileWriter(const std::string& path, std::uint32_t link, bool nanoseconds);
    ~PcapFileWriter();
    PcapFileWriter(const PcapFileWriter&) = delete;
    PcapFileWriter& operator=(const PcapFileWriter&) = delete;

    // One frame; fraction in the file's unit (ns or µs). captured < size
    // stores only the first `captured` bytes, as a snapshot length does.
    void write(std::int64_t seconds, std::uint32_t fraction, const std::vector<std::uint8_t>& frame,
               std::size_t captured = SIZE_MAX);
    // Flushes and closes; the destructor does it too.
    void close();

private:
    pcap* handle_ = nullptr;
    pcap_dumper* dumper_ = nullptr;
};

// A pcapng file of one interface (microsecond time stamps) and its frames,
// all stamped `seconds` + i microseconds.
void write_pcapng(const std::string& path, std::uint16_t link, std::int64_t seconds,
                  const std::vector<std::vector<std::uint8_t>>& frames);

// True when this process may capture on the loopback interface (root or
// cap_net_raw); live-capture tests skip themselves otherwise.
bool can_capture_on_loopback();

}  // namespace kr::test
