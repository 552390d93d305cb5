#include "support/pcap_file.h"

#include <pcap/pcap.h>

#include <algorithm>
#include <fstream>
#include <stdexcept>

namespace kr::test {

PcapFileWriter::PcapFileWriter(const std::string& path, std::uint32_t link, bool nanoseconds) {
    handle_ = pcap_open_dead_with_tstamp_precision(static_cast<int>(link), 262144,
                                                   nanoseconds ? PCAP_TSTAMP_PRECISION_NANO
                                                               : PCAP_TSTAMP_PRECISION_MICRO);
    if (!handle_) throw std::runtime_error("pcap_open_dead failed");
    dumper_ = pcap_dump_open(handle_, path.c_str());
    if (!dumper_) {
        const std::string error = pcap_geterr(handle_);
        pcap_close(handle_);
        throw std::runtime_error("pcap_dump_open: " + error);
    }
}

PcapFileWriter::~PcapFileWriter() { close(); }

void PcapFileWriter::write(std::int64_t seconds, std::uint32_t fraction, const std::vector<std::uint8_t>& frame,
                           std::size_t captured) {
    pcap_pkthdr header{};
    header.ts.tv_sec = static_cast<time_t>(seconds);
    header.ts.tv_usec = static_cast<suseconds_t>(fraction);
    header.len = static_cast<bpf_u_int32>(frame.size());
    header.caplen = static_cast<bpf_u_int32>(std::min(captured, frame.size()));
    pcap_dump(reinterpret_cast<u_char*>(dumper_), &header, frame.data());
}

void PcapFileWriter::close() {
    if (dumper_) pcap_dump_close(dumper_);
    if (handle_) pcap_close(handle_);
    dumper_ = nullptr;
    handle_ = nullptr;
}

namespace {

void put(std::string& out, std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>(value >> (8 * i)));  // little-endian file
}

void block(std::string& out, std::uint32_t type, const std::string& body) {
    const std::uint32_t length = static_cast<std::uint32_t>(12 + body.size());
    put(out, type, 4);
    put(out, length, 4);
    out += body;
    put(out, length, 4);
}

}  // namespace

void write_pcapng(const std::string& path, std::uint16_t link, std::int64_t seconds,
                  const std::vector<std::vector<std::uint8_t>>& frames) {
    std::string file, body;
    put(body, 0x1A2B3C4D, 4);  // byte-order magic
    put(body, 1, 2);            // version 1.0
    put(body, 0, 2);
    put(body, 0xFFFFFFFF, 4);   // section length unknown
    put(body, 0xFFFFFFFF, 4);
    block(file, 0x0A0D0D0A, body);
    body.clear();
    put(body, link, 2);
    put(body, 0, 2);
    put(body, 262144, 4);  // snapshot length
    block(file, 1, body);  // interface description, default µs resolution
    for (std::size_t i = 0; i < frames.size(); ++i) {
        const auto& frame = frames[i];
        const std::uint64_t stamp = static_cast<std::uint64_t>(seconds) * 1000000 + i;
        body.clear();
        put(body, 0, 4);  // interface 0
        put(body, static_cast<std::uint32_t>(stamp >> 32), 4);
        put(body, static_cast<std::uint32_t>(stamp), 4);
        put(body, static_cast<std::uint32_t>(frame.size()), 4);
        put(body, static_cast<std::uint32_t>(frame.size()), 4);
        body.append(frame.begin(), frame.end());
        while (body.size() % 4) body.push_back(0);
        block(file, 6, body);  // enhanced packet
    }
    std::ofstream(path, std::ios::binary) << file;
}

bool can_capture_on_loopback() {
    char error[PCAP_ERRBUF_SIZE];
    pcap_t* handle = pcap_create("lo", error);
    if (!handle) return false;
    const bool ok = pcap_activate(handle) >= 0;
    pcap_close(handle);
    return ok;
}

}  // namespace kr::test
