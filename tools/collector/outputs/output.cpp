#include "outputs/output.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "model/dns.h"
#include "outputs/clickhouse/clickhouse_sink.h"
#include "outputs/dnstap_message.h"
#include "outputs/json_line.h"

namespace kr::collector {

namespace {
constexpr std::size_t kJsonBatch = 256 * 1024;

// One writer: no locked read-modify-write needed.
void add(std::atomic<std::uint64_t>& counter, std::uint64_t count) {
    counter.store(counter.load(std::memory_order_relaxed) + count, std::memory_order_relaxed);
}
}  // namespace

Output::~Output() {
    std::string ignored;
    close(ignored);
}

bool Output::open_json(const std::string& path, std::string& error) {
    if (path == "-") {
        json_ = stdout;
        json_owned_ = false;
        json_path_ = "standard output";
        return true;
    }
    // Appended to: a restart (of a service, say) keeps the lines written before it.
    json_ = std::fopen(path.c_str(), "a");
    if (json_ == nullptr) {
        error = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    json_owned_ = true;
    json_path_ = path;
    json_id_ = file_id(path);
    return true;
}

bool Output::open_pcap(const std::string& path, std::string& error) {
    if (!pcap_.open(path, error)) {
        return false;
    }
    pcap_path_ = path;
    pcap_id_ = file_id(path);
    return true;
}

bool Output::open_dnstap(const std::string& path, std::string& error) {
    struct stat status {};
    if (::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) && status.st_size > 0) {
        std::fprintf(notes_, "collector: %s is replaced: frames closed by their STOP cannot be continued\n",
                     path.c_str());
    }
    if (!dnstap_.open(path, error)) {
        return false;
    }
    dnstap_path_ = path;
    dnstap_id_ = file_id(path);
    return true;
}

Output::FileId Output::file_id(const std::string& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        return {};
    }
    return {static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino)};
}

bool Output::moved(const std::string& path, const FileId& opened) {
    const FileId now = file_id(path);
    return now.device != opened.device || now.inode != opened.inode;
}

bool Output::reopen(std::string& error) {
    if (!flush(error)) {
        return false;
    }
    // Each file goes on where its path still names it; one that a rotation
    // moved away ends whole (the capture file's buffer, the dnstap STOP) and
    // starts again with its own header.
    std::string reopened;
    if (json_owned_ && moved(json_path_, json_id_)) {
        std::fclose(json_);
        json_ = nullptr;
        if (!open_json(json_path_, error)) {
            return false;
        }
        reopened += " " + json_path_;
    }
    if (pcap_.is_open() && moved(pcap_path_, pcap_id_)) {
        pcap_.close();
        if (!open_pcap(pcap_path_, error)) {
            return false;
        }
        reopened += " " + pcap_path_;
    }
    if (dnstap_.is_open() && moved(dnstap_path_, dnstap_id_)) {
        if (!dnstap_.close(error) || !open_dnstap(dnstap_path_, error)) {
            return false;
        }
        reopened += " " + dnstap_path_;
    }
    if (!reopened.empty()) {
        std::fprintf(notes_, "collector: reopened%s\n", reopened.c_str());
    }
    return true;
}

bool Output::open_dnstap_socket(const std::string& target, std::uint64_t queue_bytes, std::string& error) {
    dnstap_socket_ = std::make_unique<DnstapSocket>(target, queue_bytes, notes_);
    if (!dnstap_socket_->start(error)) {
        dnstap_socket_.reset();
        return false;
    }
    return true;
}

void Output::event(std::string_view peer, std::string_view version, const EventMessage& event) {
    if (dnstap_.is_open() || dnstap_socket_) {
        const std::string_view agent = peer_address(peer);
        const auto named = dnstap_names_.agent_identities.find(agent);
        const std::string_view identity = named != dnstap_names_.agent_identities.end() ? named->second
                                          : dnstap_names_.identity.empty()               ? agent
                                                                                          : dnstap_names_.identity;
        encode_dnstap(identity, dnstap_names_.version.empty() ? version : dnstap_names_.version, event, frame_);
        if (dnstap_.is_open()) {
            dnstap_.write(frame_);
            add(dnstap_written_, 1);
        }
        if (dnstap_socket_) {
            dnstap_socket_->add(frame_);
        }
    }
    const bool want_json = json_ != nullptr;
    if (!want_json && !pcap_.is_open() && sink_ == nullptr && tap_ == nullptr) {
        return;
    }
    const DnsSummary dns = parse_dns(event.packet);
    if (tap_ != nullptr) {
        tap_->event(event.client, dns);
    }
    if (sink_ != nullptr) {
        sink_->add(peer, version, event, dns);
    }
    if (want_json && !json_failed_) {
        append_json_line(pending_, peer, version, event, dns);
        ++pending_lines_;
        if (pending_.size() >= kJsonBatch) {
            std::string ignored;
            flush(ignored);
        }
    }
    if (pcap_.is_open()) {
        if (synth_.build(event, packet_, problem_)) {
            pcap_.write(event.time, packet_);
            add(pcap_written_, 1);
        } else {
            ++pcap_skipped_;
            std::fprintf(notes_, "collector: event from %.*s left out of the capture file: %s\n",
                         static_cast<int>(peer.size()), peer.data(), problem_.c_str());
        }
    }
}

bool Output::flush(std::string& error) {
    if (tap_ != nullptr) {
        tap_->end_round();
    }
    if (dnstap_socket_) {
        dnstap_socket_->flush();
    }
    if (!dnstap_.flush(error)) {
        return false;
    }
    if (json_ != nullptr && !json_failed_ && !pending_.empty()) {
        errno = 0;
        if (std::fwrite(pending_.data(), 1, pending_.size(), json_) != pending_.size() || std::fflush(json_) != 0) {
            json_failed_ = true;
            json_errno_ = errno != 0 ? errno : EIO;
        }
        add(json_failed_ ? json_dropped_ : json_written_, pending_lines_);
        pending_lines_ = 0;
        pending_.clear();
    }
    if (json_failed_) {
        error = "write to " + json_path_ + " failed: " + std::strerror(json_errno_);
        return false;
    }
    return pcap_.flush(error);
}

Output::Counts Output::counts() const {
    Counts counts;
    counts.json_written = json_written_.load(std::memory_order_relaxed);
    counts.json_dropped = json_dropped_.load(std::memory_order_relaxed);
    counts.pcap_written = pcap_written_.load(std::memory_order_relaxed);
    counts.pcap_skipped = pcap_skipped_;
    counts.dnstap_written = dnstap_written_.load(std::memory_order_relaxed);
    return counts;
}

bool Output::close(std::string& error) {
    if (json_ != nullptr) {
        std::string ignored;
        flush(ignored);
        if (json_owned_) {
            std::fclose(json_);
        }
        json_ = nullptr;
    }
    pcap_.close();
    const bool dnstap_closed = dnstap_.close(error);
    if (dnstap_socket_) {
        dnstap_socket_->stop();
    }
    return dnstap_closed;
}

}  // namespace kr::collector
