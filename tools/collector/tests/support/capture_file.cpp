#include "tests/support/capture_file.h"

#include "outputs/packet_synth.h"
#include "outputs/pcap_writer.h"
#include "tests/support/wire.h"

namespace kr::collector::test {

bool write_capture(const std::string& path, int agent, int count, std::string& error,
                   const std::function<std::string(int)>& name) {
    PcapWriter writer;
    if (!writer.open(path, error)) {
        return false;
    }
    PacketSynthesizer synth;
    std::vector<std::uint8_t> packet;
    const std::string client = "192.0.2." + std::to_string(agent);
    for (int n = 0; n < count; ++n) {
        const ByteVector dns = dns_packet(static_cast<std::uint16_t>(n), 0x0100,
                                          name ? name(n) : "a" + std::to_string(agent) + "-" + std::to_string(n) + ".test");
        EventMessage event;
        event.time = 1796624400 + static_cast<std::uint32_t>(n / 10000);
        event.client = client;
        event.server = "192.0.2.53";
        event.packet = Bytes(dns.data(), dns.size());
        if (!synth.build(event, packet, error)) {
            return false;
        }
        writer.write(event.time, packet);
    }
    const bool ok = writer.flush(error);
    writer.close();
    return ok;
}

}  // namespace kr::collector::test
