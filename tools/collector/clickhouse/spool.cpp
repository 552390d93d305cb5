#include "clickhouse/spool.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace kr::collector {

namespace fs = std::filesystem;

namespace {
constexpr const char* kSuffix = ".batch";
}

std::string Spool::path(std::uint64_t sequence, std::uint32_t rows) const {
    char name[64];
    std::snprintf(name, sizeof name, "%020" PRIu64 "-%" PRIu32 "%s", sequence, rows, kSuffix);
    return dir_ + "/" + name;
}

bool Spool::open(const std::string& dir, std::uint64_t max_bytes, std::string& error) {
    dir_ = dir;
    max_bytes_ = max_bytes;
    std::error_code code;
    fs::create_directories(dir, code);
    if (code) {
        error = "cannot create spool directory " + dir + ": " + code.message();
        return false;
    }
    for (fs::directory_iterator it(dir, code), end; !code && it != end; it.increment(code)) {
        const std::string name = it->path().filename().string();
        std::uint64_t sequence = 0;
        std::uint32_t rows = 0;
        int used = 0;
        if (std::sscanf(name.c_str(), "%20" SCNu64 "-%" SCNu32 "%n", &sequence, &rows, &used) != 2) {
            continue;  // not ours
        }
        const std::string suffix = name.substr(static_cast<std::size_t>(used));
        if (suffix == std::string(kSuffix) + ".tmp") {
            fs::remove(it->path(), code);  // a write that a crash cut short
            continue;
        }
        if (suffix != kSuffix) {
            continue;
        }
        const std::uint64_t size = fs::file_size(it->path(), code);
        if (code) {
            break;
        }
        files_[sequence] = File{rows, size};
        bytes_ += size;
        next_sequence_ = std::max(next_sequence_, sequence + 1);
    }
    if (code) {
        error = "cannot read spool directory " + dir + ": " + code.message();
        return false;
    }
    while (bytes_ > max_bytes_ && !files_.empty()) {
        drop_front();
    }
    return true;
}

std::uint64_t Spool::rows() const {
    std::uint64_t total = 0;
    for (const auto& entry : files_) {
        total += entry.second.rows;
    }
    return total;
}

bool Spool::push(std::uint64_t sequence, std::uint32_t rows, const std::string& data, std::string& error) {
    next_sequence_ = std::max(next_sequence_, sequence + 1);
    if (data.size() > max_bytes_) {
        ++dropped_batches_;
        dropped_rows_ += rows;
        return true;
    }
    while (bytes_ + data.size() > max_bytes_ && !files_.empty()) {
        drop_front();
    }
    const std::string final_path = path(sequence, rows);
    const std::string temporary = final_path + ".tmp";
    std::FILE* file = std::fopen(temporary.c_str(), "wb");
    bool ok = file != nullptr;
    if (ok) {
        ok = std::fwrite(data.data(), 1, data.size(), file) == data.size();
        ok = std::fclose(file) == 0 && ok;
    }
    if (ok) {
        ok = std::rename(temporary.c_str(), final_path.c_str()) == 0;
    }
    if (!ok) {
        error = "cannot write " + final_path + ": " + std::strerror(errno);
        std::remove(temporary.c_str());
        return false;
    }
    files_[sequence] = File{rows, data.size()};
    bytes_ += data.size();
    return true;
}

bool Spool::read_front(std::uint64_t& sequence, std::uint32_t& rows, std::string& data, std::string& error) {
    while (!files_.empty()) {
        const auto& [front_sequence, file] = *files_.begin();
        const std::string name = path(front_sequence, file.rows);
        std::ifstream in(name, std::ios::binary);
        data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        if (in.bad() || !in.is_open() || data.size() != file.bytes) {
            error = "cannot read " + name + "; batch dropped";
            drop_front();
            return false;
        }
        sequence = front_sequence;
        rows = file.rows;
        return true;
    }
    return false;
}

bool Spool::remove(std::uint64_t sequence) {
    const auto found = files_.find(sequence);
    if (found == files_.end()) {
        return false;
    }
    std::remove(path(sequence, found->second.rows).c_str());
    bytes_ -= found->second.bytes;
    files_.erase(found);
    return true;
}

void Spool::drop_front() {
    ++dropped_batches_;
    dropped_rows_ += files_.begin()->second.rows;
    remove(files_.begin()->first);
}

}  // namespace kr::collector
