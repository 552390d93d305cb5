#include "error/error.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "config/config_error.h"

namespace kr::error {
namespace {

TEST(ErrorText, KnownAndUnknownNumbers) {
    std::string known = system_error_text(2);
    EXPECT_FALSE(known.empty());
    EXPECT_EQ(std::string::npos, known.find("Unknown error"));
    EXPECT_EQ("Unknown error 1234567", system_error_text(1234567));
    // An unsigned number above the signed range shows as negative.
    EXPECT_EQ("Unknown error -5", system_error_text(static_cast<std::int32_t>(0xFFFFFFFBu)));
}

TEST(ErrorText, FailureMessagesNameTheCallThenTheSystemText) {
    EXPECT_EQ("socket() failed: " + system_error_text(10), failure_text("socket()", 10));
    try {
        throw_failure<kr::config::ConfigError>("fopen(/no/such)", ENOENT);
        FAIL() << "no throw";
    } catch (const std::exception& e) {
        EXPECT_EQ("fopen(/no/such) failed: " + system_error_text(ENOENT), e.what());
    }
    try {
        throw_crt_failure<kr::sensor::SensorError>("malloc(5)", ENOMEM);
        FAIL() << "no throw";
    } catch (const kr::sensor::SensorError& e) {
        EXPECT_EQ(crt_failure_text("malloc(5)", ENOMEM), e.what());
    }
}

TEST(ErrorText, CRuntimeNumbersGetTheCLibraryText) {
    // Windows' message table has other meanings for these numbers (12: "The access code is invalid.").
    for (int code : {ENOMEM, ENOENT}) EXPECT_EQ(std::string(std::strerror(code)), crt_error_text(code)) << code;
    EXPECT_EQ("malloc(5) failed: " + std::string(std::strerror(ENOMEM)), crt_failure_text("malloc(5)", ENOMEM));
    EXPECT_EQ(std::string::npos, crt_error_text(ENOMEM).find("access code"));
}

TEST(ErrorClasses, AllAreCaughtAsTheStandardBaseAndCopyTheirText) {
    std::string text = "select() timed out";
    auto check = [&](const auto& error) {
        try {
            throw error;
        } catch (const UnknownError& e) {
            EXPECT_STREQ("select() timed out", e.what());
        }
    };
    check(UnknownError(text.c_str()));
    check(kr::config::ConfigError(text.c_str()));
    check(kr::net::NetError(text.c_str()));
    kr::sensor::SensorError original(text.c_str());
    text.assign("changed");
    kr::sensor::SensorError copy = original;
    check(copy);
}

}  // namespace
}  // namespace kr::error
