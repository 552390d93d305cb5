#include <windows.h>

#include <cstring>

#include "error/error.h"

namespace kr::error {

std::string platform_error_text(std::int32_t code) {
    // Each call has its own buffer: this runs on several threads at once.
    char buffer[8192];
    buffer[0] = '\0';
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, static_cast<DWORD>(code), 0, buffer,
                             sizeof buffer, nullptr);
    if (n == 0) return "Unknown error " + std::to_string(code);
    return std::string(buffer);
}

std::int32_t windows_error_code(std::uint32_t status) { return static_cast<std::int32_t>(status); }

std::string crt_error_text(std::int32_t code) {
    char buffer[512];
    buffer[0] = '\0';
    if (strerror_s(buffer, sizeof buffer, code) != 0 || buffer[0] == '\0') return "Unknown error " + std::to_string(code);
    return std::string(buffer);
}

}  // namespace kr::error
