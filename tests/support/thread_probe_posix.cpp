#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>

#include "support/thread_probe.h"

namespace kr::test {
namespace {

// The state letter of /proc/self/task/<id>/stat, or 0 when the thread is gone.
char thread_state(std::uint64_t thread_id) {
    std::ifstream in("/proc/self/task/" + std::to_string(thread_id) + "/stat");
    std::stringstream text;
    text << in.rdbuf();
    const std::string stat = text.str();
    const auto name_end = stat.rfind(')');  // the name may hold blanks and parentheses
    return name_end == std::string::npos || name_end + 2 >= stat.size() ? 0 : stat[name_end + 2];
}

template <class Pred>
bool wait_until(Pred pred, int timeout_ms) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > until) return false;
        usleep(1000);
    }
    return true;
}

}  // namespace

std::uint64_t current_thread_id() { return static_cast<std::uint64_t>(syscall(SYS_gettid)); }

bool wait_until_blocked(std::uint64_t thread_id, int timeout_ms) {
    return wait_until([&] { return thread_state(thread_id) == 'S'; }, timeout_ms);
}

bool wait_until_ended(std::uint64_t thread_id, int timeout_ms) {
    return wait_until(
        [&] {
            const char state = thread_state(thread_id);
            return state == 0 || state == 'Z' || state == 'X';
        },
        timeout_ms);
}

}  // namespace kr::test
