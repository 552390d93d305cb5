#pragma once
// A capture file of raw IP packets (IPv4 or IPv6), written through libpcap's dump functions.
#include <cstdint>
#include <string>
#include <vector>

struct pcap;
struct pcap_dumper;

namespace kr::collector {

class PcapWriter {
public:
    PcapWriter() = default;
    ~PcapWriter();
    PcapWriter(const PcapWriter&) = delete;
    PcapWriter& operator=(const PcapWriter&) = delete;

    // Creates the file, or appends to one of the same link type and snap
    // length. False with the reason on failure.
    bool open(const std::string& path, std::string& error);
    bool is_open() const { return dumper_ != nullptr; }
    // One packet stamped with the given time (seconds since 1970, UTC).
    void write(std::uint32_t seconds, const std::vector<std::uint8_t>& packet);
    // Pushes buffered packets to the file; false with the reason on failure.
    bool flush(std::string& error);
    void close();

private:
    pcap* handle_ = nullptr;
    pcap_dumper* dumper_ = nullptr;
    std::string path_;
};

}  // namespace kr::collector
