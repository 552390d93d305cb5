#include "log/log.h"

#include <cstdarg>
#include <ctime>
#include <mutex>

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

void log_open(const char* path) {
    std::FILE* f = std::fopen(path, "a");
    if (!f) return;
    log_set_stream(f);
}

void log_set_stream(std::FILE* stream) {
    if (stream) std::setvbuf(stream, nullptr, _IONBF, 0);
    if (!log_mutex) kr::thread::mutex_create(&log_mutex, nullptr);
    std::FILE* previous = log_stream;
    log_stream = stream;
    if (previous && previous != stream) std::fclose(previous);
}

void log_print(const char* format, ...) {
    if (!log_stream) return;
    char stamp[32];
    stamp[0] = '\0';
    std::tm tm_utc{};
    if (utc_breakdown(static_cast<long long>(std::time(nullptr)), &tm_utc)) {
        if (std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &tm_utc) == 0) stamp[0] = '\0';
    }
    lock();
    std::fprintf(log_stream, "%s [%u]: ", stamp, static_cast<unsigned>(kr::thread::current_process_id()));
    va_list args;
    va_start(args, format);
    std::vfprintf(log_stream, format, args);
    va_end(args);
    std::fputc('\n', log_stream);
    unlock();
}

}  // namespace kr::log
