#include "support/empty_pcap.h"

#include <cstdint>
#include <fstream>

namespace kr::test {

void write_empty_pcap(const std::string& path) {
    // The classic global header: magic, version 2.4, zone 0, sigfigs 0,
    // snapshot length 65535, link type 1 (Ethernet); little-endian.
    const std::uint8_t header[24] = {0xd4, 0xc3, 0xb2, 0xa1, 2, 0, 4, 0, 0, 0, 0, 0,
                                     0,    0,    0,    0,    0xff, 0xff, 0, 0, 1, 0, 0, 0};
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(header), sizeof header);
}

}  // namespace kr::test
