// The Windows statuses that the Linux stand-ins give read as on Windows;
// the same numbers as errno values keep the C library's texts.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "error/error.h"

namespace kr::error {
namespace {

TEST(WindowsStatusText, StandInStatusesCarryTheWindowsTexts) {
    const struct {
        std::uint32_t status;
        const char* text;
    } cases[] = {
        {5, "Access is denied."},
        {6, "The handle is invalid."},
        {13, "The data is invalid."},
        {87, "The parameter is incorrect."},
        {122, "The data area passed to a system call is too small."},
        {1168, "Element not found."},
        {1223, "The operation was canceled by the user."},
        {4201, "The instance name passed was not recognized as valid by a WMI data provider."},
        {7007, "A close operation is pending on the session."},
        {1450, "Unknown error 1450"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.text, system_error_text(windows_error_code(c.status))) << c.status;
    EXPECT_EQ(std::strerror(EDQUOT), system_error_text(122));  // an errno value of the same number
    const std::int32_t ours = register_error_text("capture library text");
    EXPECT_EQ(ours, windows_error_code(static_cast<std::uint32_t>(ours)));
}

}  // namespace
}  // namespace kr::error
