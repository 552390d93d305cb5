#include <time.h>

#include "log/log.h"

namespace kr::log {

bool utc_breakdown(long long seconds, std::tm* out) {
    time_t t = static_cast<time_t>(seconds);
    return gmtime_r(&t, out) != nullptr;
}

}  // namespace kr::log
