#include <cerrno>

#include "traffic/dns_packet.h"
#include "fault_capture.h"
#include "support/frames.h"
#include "support/pcap_file.h"

namespace kr::agent::test {

std::string prepare_capture(const kr::test::TempDir& dir, const std::vector<CapturedQuery>& queries) {
    const std::string path = dir.file("traffic.pcap");
    kr::test::PcapFileWriter writer(path, kr::traffic::link_type::kEthernet, false);
    for (std::size_t i = 0; i < queries.size(); ++i) {
        const CapturedQuery& q = queries[i];
        const kr::test::Endpoint from{kr::test::Bytes(q.client.begin(), q.client.end()),
                                      static_cast<std::uint16_t>(40000 + i)};
        const kr::test::Endpoint to{kr::test::Bytes(q.server.begin(), q.server.end()), 53};
        writer.write(kCaptureSeconds, static_cast<std::uint32_t>(i), kr::test::ethernet(kr::test::udp_packet(from, to, q.dns)));
    }
    writer.close();
    return "capture file:" + path + "\n";
}

int injected_socket_error() { return ENOBUFS; }

}  // namespace kr::agent::test
