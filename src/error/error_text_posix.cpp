#include <string.h>

#include "error/error.h"

namespace kr::error {
namespace {

// Windows' own texts (FormatMessage, English) for the statuses the stand-ins
// for the Windows calls give, without the CR LF that ends them there: no
// text of this platform carries a line end.
struct WindowsText {
    std::uint32_t status;
    const char* text;
};
constexpr WindowsText kWindowsTexts[] = {
    {0, "The operation completed successfully."},
    {5, "Access is denied."},
    {6, "The handle is invalid."},
    {13, "The data is invalid."},
    {87, "The parameter is incorrect."},
    {122, "The data area passed to a system call is too small."},
    {1168, "Element not found."},
    {1223, "The operation was canceled by the user."},
    {4201, "The instance name passed was not recognized as valid by a WMI data provider."},
    {7007, "A close operation is pending on the session."},
};

constexpr std::uint32_t kApplicationBit = 0x20000000;

}  // namespace

std::int32_t windows_error_code(std::uint32_t status) {
    if (status & kApplicationBit) return static_cast<std::int32_t>(status);
    for (const auto& known : kWindowsTexts) {
        if (known.status == status) return register_error_text(known.text);
    }
    return register_error_text("Unknown error " + std::to_string(static_cast<std::int32_t>(status)));
}

std::string platform_error_text(std::int32_t code) {
    char buffer[8192];
    buffer[0] = '\0';
    // GNU strerror_r may return a static text instead of filling the buffer.
    const char* text = strerror_r(code, buffer, sizeof buffer);
    std::string unknown = "Unknown error " + std::to_string(code);
    if (text == nullptr || *text == '\0' || unknown == text) return unknown;
    return std::string(text);
}

// The system's numbers are the C library's here.
std::string crt_error_text(std::int32_t code) { return platform_error_text(code); }

}  // namespace kr::error
