#pragma once
// A dnstap file: Frame Streams with the content type protobuf:dnstap.Dnstap,
// written through libfstrm on the server loop (as the JSON lines are), and
// closed with its STOP frame so that readers see a complete file.
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
    // False with the reason once a write has failed (the file is then unusable).
    bool check(std::string& error) const;
    void close();

private:
    fstrm_writer* writer_ = nullptr;
    std::string path_;
    bool failed_ = false;
};

}  // namespace kr::collector
