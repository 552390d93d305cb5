#include "outputs/clickhouse/spool.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#include <xxhash.h>

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
constexpr const char* kQuarantine = "quarantine";
constexpr const char* kLockFile = "lock";

// magic, version, rows, data bytes, layout, checksum; little-endian.
constexpr char kMagic[8] = {'d', 'n', 's', 's', 'p', 'o', 'o', 'l'};
constexpr std::uint32_t kVersion = 1;
constexpr std::size_t kHeaderBytes = 40;
constexpr std::size_t kChecked = 32;  // the checksum covers the header up to itself, then the rows

void put(std::string& out, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        out += static_cast<char>((value >> (8 * i)) & 0xFF);
    }
}

std::uint64_t get(const std::string& in, std::size_t at, int bytes) {
    std::uint64_t value = 0;
    for (int i = bytes - 1; i >= 0; --i) {
        value = (value << 8) | static_cast<unsigned char>(in[at + static_cast<std::size_t>(i)]);
    }
    return value;
}

std::uint64_t checksum(const std::string& header, const char* data, std::size_t size) {
    XXH64_state_t* state = XXH64_createState();
    XXH64_reset(state, 0);
    XXH64_update(state, header.data(), kChecked);
    XXH64_update(state, data, size);
    const std::uint64_t sum = XXH64_digest(state);
    XXH64_freeState(state);
    return sum;
}

bool write_all(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

// Syncs a directory so that a rename in it survives a crash of the machine.
void sync_dir(const std::string& dir) {
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

}  // namespace

Spool::~Spool() {
    if (lock_fd_ >= 0) {
        ::close(lock_fd_);  // releases the lock
    }
}

std::string Spool::path(std::uint64_t sequence, std::uint32_t rows) const {
    char name[64];
    std::snprintf(name, sizeof name, "%020" PRIu64 "-%" PRIu32 "%s", sequence, rows, kSuffix);
    return dir_ + "/" + name;
}

bool Spool::open(const std::string& dir, std::uint64_t max_bytes, std::uint64_t layout, std::string& error) {
    dir_ = dir;
    max_bytes_ = max_bytes;
    layout_ = layout;
    std::error_code code;
    fs::create_directories(dir, code);
    if (code) {
        error = "cannot create spool directory " + dir + ": " + code.message();
        return false;
    }
    // Before anything is touched: a second collector must not remove the
    // first one's files being written, nor replay its batches.
    const std::string lock = dir + "/" + kLockFile;
    lock_fd_ = ::open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (lock_fd_ < 0) {
        error = "cannot open " + lock + ": " + std::strerror(errno);
        return false;
    }
    if (::flock(lock_fd_, LOCK_EX | LOCK_NB) != 0) {
        error = errno == EWOULDBLOCK
                    ? "spool directory " + dir + " is in use by another collector (" + lock +
                          " is locked); give each collector its own --spool"
                    : "cannot lock " + lock + ": " + std::strerror(errno);
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
    // Earlier runs' quarantined files, oldest first: the first to make room.
    std::multimap<fs::file_time_type, std::pair<std::string, std::uint64_t>> found;
    for (fs::directory_iterator it(dir + "/" + kQuarantine, code), end; !code && it != end; it.increment(code)) {
        if (it->is_regular_file(code)) {
            found.emplace(it->last_write_time(code), std::pair(it->path().string(), it->file_size(code)));
        }
    }
    for (auto& entry : found) {
        quarantined_bytes_ += entry.second.second;
        quarantined_.push_back(std::move(entry.second));
    }
    make_room(0);
    return true;
}

std::uint64_t Spool::rows() const {
    std::uint64_t total = 0;
    for (const auto& entry : files_) {
        total += entry.second.rows;
    }
    return total;
}

bool Spool::fits(std::size_t size) const {
    return bytes_ + kHeaderBytes + size <= max_bytes_;
}

// Quarantined files first, then the oldest batches.
void Spool::make_room(std::uint64_t size) {
    while (bytes_ + quarantined_bytes_ + size > max_bytes_ && !quarantined_.empty()) {
        std::remove(quarantined_.front().first.c_str());
        quarantined_bytes_ -= quarantined_.front().second;
        quarantined_.pop_front();
        ++removed_quarantined_;
    }
    while (bytes_ + size > max_bytes_ && !files_.empty()) {
        drop_oldest();
    }
}

bool Spool::push(std::uint64_t sequence, std::uint32_t rows, const std::string& data, std::string& error) {
    next_sequence_ = std::max(next_sequence_, sequence + 1);
    out_of_space_ = false;
    const std::uint64_t size = kHeaderBytes + data.size();
    if (size > max_bytes_) {
        ++dropped_batches_;
        dropped_rows_ += rows;
        return true;
    }
    make_room(size);
    std::string header(kMagic, sizeof kMagic);
    put(header, kVersion, 4);
    put(header, rows, 4);
    put(header, data.size(), 8);
    put(header, layout_, 8);
    put(header, checksum(header, data.data(), data.size()), 8);

    const std::string final_path = path(sequence, rows);
    const std::string temporary = final_path + ".tmp";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    bool ok = fd >= 0;
    if (ok) {
        ok = write_all(fd, header.data(), header.size()) && write_all(fd, data.data(), data.size()) &&
             ::fsync(fd) == 0;
        ok = ::close(fd) == 0 && ok;
    }
    if (ok) {
        ok = std::rename(temporary.c_str(), final_path.c_str()) == 0;
    }
    if (!ok) {
        out_of_space_ = errno == ENOSPC || errno == EDQUOT;
        error = "cannot write " + final_path + ": " + std::strerror(errno);
        std::remove(temporary.c_str());
        return false;
    }
    sync_dir(dir_);
    files_[sequence] = File{rows, size};
    bytes_ += size;
    return true;
}

bool Spool::check(const std::string& name, std::uint32_t name_rows, std::string& data, std::uint32_t& rows,
                  std::string& reason) const {
    std::ifstream in(name, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad() || !in.is_open()) {
        reason = "cannot be read";
        return false;
    }
    if (text.size() < kHeaderBytes || text.compare(0, sizeof kMagic, kMagic, sizeof kMagic) != 0) {
        reason = "has no header (written by an earlier collector, or damaged)";
        return false;
    }
    const std::uint64_t bytes = get(text, 16, 8);
    rows = static_cast<std::uint32_t>(get(text, 12, 4));
    if (get(text, 8, 4) != kVersion) {
        reason = "has spool format version " + std::to_string(get(text, 8, 4));
    } else if (bytes != text.size() - kHeaderBytes || rows != name_rows) {
        reason = "is cut or damaged (" + std::to_string(text.size() - kHeaderBytes) +
                 " bytes of rows, the header says " + std::to_string(bytes) + ")";
    } else if (get(text, 32, 8) != checksum(text, text.data() + kHeaderBytes, bytes)) {
        reason = "fails its checksum";
    } else if (get(text, 24, 8) != layout_ && (also_accepted_ == 0 || get(text, 24, 8) != also_accepted_)) {
        reason = "holds rows of another table layout";
    } else {
        data = std::move(text);
        data.erase(0, kHeaderBytes);
        return true;
    }
    return false;
}

bool Spool::read_front(std::uint64_t& sequence, std::uint32_t& rows, std::string& data, std::string& error) {
    if (files_.empty()) {
        return false;
    }
    const auto& [front_sequence, file] = *files_.begin();
    std::string reason;
    if (!check(path(front_sequence, file.rows), file.rows, data, rows, reason)) {
        quarantine(front_sequence, reason, error);
        return false;
    }
    sequence = front_sequence;
    return true;
}

void Spool::quarantine(std::uint64_t sequence, const std::string& reason, std::string& note) {
    const auto found = files_.find(sequence);
    if (found == files_.end()) {
        return;
    }
    const std::string from = path(sequence, found->second.rows);
    const std::string folder = dir_ + "/" + kQuarantine;
    std::string to = folder + from.substr(dir_.size());
    std::error_code code;
    fs::create_directories(folder, code);
    for (int n = 2; fs::exists(to, code); ++n) {  // a sequence number an earlier run used too
        to = folder + from.substr(dir_.size()) + "." + std::to_string(n);
    }
    if (std::rename(from.c_str(), to.c_str()) == 0) {
        sync_dir(folder);
        sync_dir(dir_);
        quarantined_.emplace_back(to, found->second.bytes);
        quarantined_bytes_ += found->second.bytes;
        note = "spool file " + from + " " + reason + "; moved to " + to;
    } else {
        note = "spool file " + from + " " + reason + "; left in place, cannot move it to " + to + ": " +
               std::strerror(errno);
    }
    ++quarantined_batches_;
    bytes_ -= found->second.bytes;
    files_.erase(found);
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

void Spool::drop_oldest() {
    ++dropped_batches_;
    dropped_rows_ += files_.begin()->second.rows;
    remove(files_.begin()->first);
}

}  // namespace kr::collector
