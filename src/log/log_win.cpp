#include <time.h>

#include "log/log.h"

namespace kr::log {

bool utc_breakdown(long long seconds, std::tm* out) {
    __time64_t t = static_cast<__time64_t>(seconds);
    return _gmtime64_s(out, &t) == 0;
}

}  // namespace kr::log
