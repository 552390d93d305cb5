#pragma once
// What the tests of the collector program share: records of an agent, JSON
// lines parsed, a temporary directory.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "tests/support/capture_file.h"
#include "tests/support/collector_process.h"
#include "tests/support/wire.h"

namespace kr::collector::test {

using nlohmann::json;

inline ByteVector event_record(const std::string& client, const std::string& server, std::uint8_t tcp,
                        const ByteVector& packet, std::uint32_t time = 1796624400) {
    return record(event_message(time, client, server, tcp, packet));
}

inline ByteVector hello_record() {
    return record(hello("3.6.8"));
}

inline std::vector<json> parsed(const std::vector<std::string>& lines) {
    std::vector<json> result;
    for (const auto& line : lines) {
        result.push_back(json::parse(line));
    }
    return result;
}

class TempDir {
public:
    TempDir() {
        char name[] = "/tmp/collector-test-XXXXXX";
        path_ = mkdtemp(name) != nullptr ? name : "";
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

}  // namespace kr::collector::test
