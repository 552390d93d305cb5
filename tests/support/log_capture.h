#pragma once
// Points the process-wide log at a temporary file for the life of the object
// and reads back the messages, checking the prefix of every line.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace kr::test {

class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // The messages written so far, prefix removed and checked (process id
    // included). Lines without a prefix continue the message before them.
    std::vector<std::string> messages() const;
    // The raw file contents.
    std::string raw() const { return read_binary(path_); }
    static std::string read_binary(const std::string& path);
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// The name=value pairs of a "Stats: ..." log line; an unknown value ("-") is left out.
using Stats = std::map<std::string, std::uint64_t>;
Stats parse_stats(const std::string& line);

// A fresh empty directory under the system's temporary directory, removed at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const;

private:
    std::string path_;
};

}  // namespace kr::test
