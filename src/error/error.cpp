#include "error/error.h"

namespace kr::error {

std::string failure_text(std::string_view call, std::int32_t code) {
    std::string text;
    text.reserve(call.size() + 64);
    text.append(call);
    text.append(" failed: ");
    text.append(system_error_text(code));
    return text;
}

}  // namespace kr::error
