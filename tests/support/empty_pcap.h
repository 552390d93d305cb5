#pragma once
#include <string>

namespace kr::test {

// Writes a pcap file with no packets (Ethernet, microseconds). Agent runs in
// tests replay it, so that they never open a live capture.
void write_empty_pcap(const std::string& path);

}  // namespace kr::test
