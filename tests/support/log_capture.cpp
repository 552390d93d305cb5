#include "support/log_capture.h"

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "log/log.h"
#include "thread/thread.h"

namespace kr::test {
namespace {

std::string unique_name(const char* stem) {
    static std::atomic<unsigned> counter{0};
    std::ostringstream name;
    name << stem << '-' << kr::thread::current_process_id() << '-' << counter++;
    return (std::filesystem::temp_directory_path() / name.str()).string();
}

}  // namespace

LogCapture::LogCapture() : path_(unique_name("agent-log")) {
    kr::log::log_set_stream(std::fopen(path_.c_str(), "a"));
}

LogCapture::~LogCapture() {
    kr::log::log_set_stream(nullptr);  // closes the file, so that it can be removed
    std::remove(path_.c_str());
}

std::vector<std::string> LogCapture::messages() const {
    // [\s\S]: a message may hold a CR (system texts end in CR LF), which "." skips.
    static const std::regex prefix(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ \[(\d+)\]: ([\s\S]*)$)");
    std::vector<std::string> out;
    std::ifstream in(path_);
    std::string line;
    const std::string pid = std::to_string(kr::thread::current_process_id());
    while (std::getline(in, line)) {
        std::smatch m;
        if (std::regex_match(line, m, prefix) && m[1] == pid) {
            out.push_back(m[2]);
        } else if (!out.empty()) {
            // A message with a line end inside (system texts end in CR LF)
            // continues on the next line without a prefix.
            out.back() += "\n" + line;
        } else {
            out.push_back("BAD PREFIX: " + line);
        }
    }
    return out;
}

std::string LogCapture::read_binary(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

TempDir::TempDir() : path_(unique_name("agent-dir")) { std::filesystem::create_directories(path_); }

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string TempDir::file(const std::string& name) const {
    return (std::filesystem::path(path_) / name).string();
}

Stats parse_stats(const std::string& line) {
    Stats out;
    std::istringstream in(line.substr(line.find(':') + 1));
    std::string pair;
    while (in >> pair) {
        const std::string value = pair.substr(pair.find('=') + 1);
        if (value != "-") out[pair.substr(0, pair.find('='))] = std::stoull(value);  // "-": unknown, left out
    }
    return out;
}

}  // namespace kr::test
