#pragma once
// A dnstap file: Frame Streams with the content type protobuf:dnstap.Dnstap,
// written through libfstrm on the server loop (as the JSON lines are), and
// closed with its STOP frame so that readers see a complete file. Frames
// collect in memory and reach the file at every flush (each round of the
// loop), so a reader sees them at once and a kill loses none already flushed.
#include <cstdint>
#include <string>
#include <vector>

struct fstrm_writer;

namespace kr::collector {

class DnstapFile {
public:
    DnstapFile() = default;
    ~DnstapFile();
    DnstapFile(const DnstapFile&) = delete;
    DnstapFile& operator=(const DnstapFile&) = delete;

    // Creates (or truncates) the file and writes the START frame. False with the reason on failure.
    bool open(const std::string& path, std::string& error);
    bool is_open() const { return writer_ != nullptr; }
    void write(const std::vector<std::uint8_t>& frame);
    // Writes out what is held. False with the system's reason once a write
    // has failed (the file is then unusable).
    bool flush(std::string& error);
    // Writes the STOP frame and closes the file; false as flush, or when the
    // close fails. The path is kept, so that the file can be opened again.
    bool close(std::string& error);
    const std::string& path() const { return path_; }

private:
    bool write_out();

    fstrm_writer* writer_ = nullptr;
    int fd_ = -1;
    std::string path_;
    std::string held_;  // frames not yet written to the file
    int errno_ = 0;     // of the first failed write or close; 0 while none failed
};

}  // namespace kr::collector
