#include "log/log.h"

#include <cstdarg>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <new>

#include "thread/thread.h"

namespace kr::log {
namespace {

std::FILE* log_stream = nullptr;
kr::thread::Mutex log_mutex = nullptr;
// Used only when the log mutex could not be created, so lines still never interleave.
std::mutex fallback_mutex;

void lock() {
    if (log_mutex) {
        kr::thread::mutex_lock(&log_mutex);
    } else {
        fallback_mutex.lock();
    }
}

void unlock() {
    if (log_mutex) {
        kr::thread::mutex_unlock(&log_mutex);
    } else {
        fallback_mutex.unlock();
    }
}

}  // namespace

bool log_open(const char* path) {
    std::FILE* f = std::strcmp(path, "-") == 0 ? stderr : std::fopen(path, "a");
    if (!f) return false;
    log_set_stream(f);
    return true;
}

void log_set_stream(std::FILE* stream) {
    if (stream) std::setvbuf(stream, nullptr, _IONBF, 0);
    if (!log_mutex) kr::thread::mutex_create(&log_mutex, nullptr);
    std::FILE* previous = log_stream;
    log_stream = stream;
    if (previous && previous != stream && previous != stderr) std::fclose(previous);
}

// The whole line is formatted first and written with one call: on an
// unbuffered stream every piece is a system write of its own (a character
// each with some runtimes' formatted output), all made under the lock.
void log_print(const char* format, ...) {
    if (!log_stream) return;
    char stamp[32];
    stamp[0] = '\0';
    std::tm tm_utc{};
    if (utc_breakdown(static_cast<long long>(std::time(nullptr)), &tm_utc)) {
        if (std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &tm_utc) == 0) stamp[0] = '\0';
    }
    char local[1024];
    const int prefix = std::snprintf(local, sizeof local, "%s [%u]: ", stamp,
                                     static_cast<unsigned>(kr::thread::current_process_id()));
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int body = std::vsnprintf(local + prefix, sizeof local - prefix, format, args);
    va_end(args);
    const std::size_t length = static_cast<std::size_t>(prefix) + static_cast<std::size_t>(body < 0 ? 0 : body);
    char* line = nullptr;
    std::unique_ptr<char[]> large;
    if (body >= 0 && length < sizeof local) {
        line = local;
    } else if (body >= 0) {
        large.reset(new (std::nothrow) char[length + 1]);  // the line end takes the place of the NUL
        if (large) {
            std::memcpy(large.get(), local, static_cast<std::size_t>(prefix));
            std::vsnprintf(large.get() + prefix, static_cast<std::size_t>(body) + 1, format, again);
            line = large.get();
        }
    }
    lock();
    if (line) {
        line[length] = '\n';
        std::fwrite(line, 1, length + 1, log_stream);
    } else {
        // No memory for a long line (or a format the runtime refused): piece by piece, as it comes.
        std::fwrite(local, 1, static_cast<std::size_t>(prefix), log_stream);
        std::vfprintf(log_stream, format, again);
        std::fputc('\n', log_stream);
    }
    unlock();
    va_end(again);
}

}  // namespace kr::log
