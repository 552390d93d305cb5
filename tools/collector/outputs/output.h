#pragma once
// Where the events go: JSON lines, a capture file, a ClickHouse table,
// dnstap (a file, a receiver's socket), or several of them.
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "model/event_sink.h"
#include "model/message.h"
#include "options/options.h"
#include "outputs/dnstap_file.h"
#include "outputs/dnstap_socket.h"
#include "outputs/event_tap.h"
#include "outputs/packet_synth.h"
#include "outputs/pcap_writer.h"

namespace kr::collector {

class ClickHouseSink;

// Formats each event into the chosen outputs. JSON lines are held in memory
// until flush() (or until enough collect), so one slow write covers many
// events. Notes about events left out of the capture file go to `notes`.
// Not thread-safe: one server loop owns it.
class Output : public EventSink {
public:
    explicit Output(std::FILE* notes) : notes_(notes) {}
    ~Output();
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    // "-" is standard output. A file is appended to, as a capture file of
    // the same kind is; a dnstap file is replaced (a note says so when it held
    // something), its frames being closed. False with the reason on failure.
    bool open_json(const std::string& path, std::string& error);
    bool open_pcap(const std::string& path, std::string& error);
    bool open_dnstap(const std::string& path, std::string& error);
    // Starts the sender of a dnstap receiver ("unix:PATH" or "tcp:ADDR:PORT").
    bool open_dnstap_socket(const std::string& target, std::uint64_t queue_bytes, std::string& error);
    // The identities and version that dnstap messages carry (DnstapOptions).
    void set_dnstap_names(const DnstapOptions& names) { dnstap_names_ = names; }
    // Every event also goes to `sink` (owned by the caller, outliving this).
    void add_sink(ClickHouseSink* sink) { sink_ = sink; }
    // Every event also goes to `tap` (likewise).
    void add_tap(EventTap* tap) { tap_ = tap; }

    // Events each output wrote, and lost (JSON lines of a failed write,
    // events left out of the capture file); any thread may read them.
    struct Counts {
        std::uint64_t json_written = 0;
        std::uint64_t json_dropped = 0;
        std::uint64_t pcap_written = 0;
        std::uint64_t pcap_skipped = 0;
        std::uint64_t dnstap_written = 0;
    };
    Counts counts() const;

    void event(std::string_view peer, std::string_view version, const EventMessage& event) override;
    // Writes out everything held; false with the reason when a write failed
    // (the output is then unusable).
    bool flush(std::string& error) override;
    // One note lists the files reopened.
    bool reopen(std::string& error) override;
    // Closes every output; false with the reason when the dnstap file could
    // not be completed (its STOP frame not written, or the close failed).
    bool close(std::string& error);

    std::uint64_t pcap_skipped() const { return pcap_skipped_; }
    // Null without --dnstap-socket; its counters may be read from any thread.
    const DnstapSocket* dnstap_socket() const { return dnstap_socket_.get(); }

private:
    // Which file a path named when it was opened, to tell a rotation.
    struct FileId {
        std::uint64_t device = 0;
        std::uint64_t inode = 0;
    };
    static FileId file_id(const std::string& path);
    static bool moved(const std::string& path, const FileId& opened);

    std::FILE* notes_;
    FileId json_id_, pcap_id_, dnstap_id_;
    std::string pcap_path_, dnstap_path_;
    std::FILE* json_ = nullptr;
    bool json_owned_ = false;
    std::string json_path_;
    std::string pending_;
    bool json_failed_ = false;
    int json_errno_ = 0;
    PcapWriter pcap_;
    PacketSynthesizer synth_;
    std::vector<std::uint8_t> packet_;
    std::string problem_;
    std::atomic<std::uint64_t> pcap_skipped_{0};  // also read by the stats and metrics threads
    // Written by the server loop alone (a load and a store, no locked
    // increment), read by the page's thread.
    std::uint64_t pending_lines_ = 0;
    std::atomic<std::uint64_t> json_written_{0};
    std::atomic<std::uint64_t> json_dropped_{0};
    std::atomic<std::uint64_t> pcap_written_{0};
    std::atomic<std::uint64_t> dnstap_written_{0};
    ClickHouseSink* sink_ = nullptr;
    EventTap* tap_ = nullptr;
    DnstapFile dnstap_;
    std::unique_ptr<DnstapSocket> dnstap_socket_;
    DnstapOptions dnstap_names_;
    std::vector<std::uint8_t> frame_;
};

}  // namespace kr::collector
