#include "outputs/pcap_writer.h"

#include <cerrno>
#include <cstring>

#include <pcap/pcap.h>

namespace kr::collector {

namespace {
constexpr int kSnapLength = 65535;
}

PcapWriter::~PcapWriter() {
    close();
}

bool PcapWriter::open(const std::string& path, std::string& error) {
    close();
    handle_ = pcap_open_dead(DLT_RAW, kSnapLength);
    if (handle_ == nullptr) {
        error = "pcap_open_dead() failed";
        return false;
    }
    dumper_ = pcap_dump_open_append(handle_, path.c_str());
    if (dumper_ == nullptr) {
        error = "cannot create " + path + ": " + pcap_geterr(handle_);
        close();
        return false;
    }
    path_ = path;
    return true;
}

void PcapWriter::write(std::uint32_t seconds, const std::vector<std::uint8_t>& packet) {
    pcap_pkthdr header{};
    header.ts.tv_sec = static_cast<time_t>(seconds);
    header.ts.tv_usec = 0;
    header.caplen = static_cast<bpf_u_int32>(packet.size());
    header.len = header.caplen;
    pcap_dump(reinterpret_cast<u_char*>(dumper_), &header, packet.data());
}

bool PcapWriter::flush(std::string& error) {
    if (dumper_ == nullptr) {
        return true;
    }
    errno = 0;
    if (pcap_dump_flush(dumper_) != 0) {
        error = "write to " + path_ + " failed: " + std::strerror(errno != 0 ? errno : EIO);
        return false;
    }
    return true;
}

void PcapWriter::close() {
    if (dumper_ != nullptr) {
        pcap_dump_close(dumper_);
        dumper_ = nullptr;
    }
    if (handle_ != nullptr) {
        pcap_close(handle_);
        handle_ = nullptr;
    }
}

}  // namespace kr::collector
