#include <string.h>

#include "error/error.h"

namespace kr::error {

std::string platform_error_text(std::int32_t code) {
    char buffer[8192];
    buffer[0] = '\0';
    // GNU strerror_r may return a static text instead of filling the buffer.
    const char* text = strerror_r(code, buffer, sizeof buffer);
    std::string unknown = "Unknown error " + std::to_string(code);
    if (text == nullptr || *text == '\0' || unknown == text) return unknown;
    return std::string(text);
}

}  // namespace kr::error
