#pragma once
// The agent's exception classes (the configuration's own is in
// config/config_error.h) and the one way failure messages are composed.
#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

namespace kr::error {

// Base of the agent's exceptions. Keeps its own copy of the message.
class UnknownError : public std::exception {
public:
    explicit UnknownError(const char* message) : message_(message ? message : "") {}
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

// Text of a system error number; never fails. Windows: the system message
// table (its trailing CR LF kept). Elsewhere: the C library's text, or
// "Unknown error N" where it has none.
std::string system_error_text(std::int32_t code);

// Gives a text of our own an error number in the range Windows leaves to
// applications (bit 29 set), so that a substitute for a platform call can
// report a failure whose cause only it can describe (for example the capture
// library's message) through the usual error-number path.
std::int32_t register_error_text(const std::string& text);

// The platform's own text for a number (system_error_text without our registry).
std::string platform_error_text(std::int32_t code);

// The number to give system_error_text for a status that a Windows call
// returned or left as its last error (ETW, TDH). On Windows the status
// itself. Elsewhere those calls are stand-ins and a bare number means an
// errno value, so the status comes back as a registered code that carries
// the Windows text ("The data area passed to a system call is too small."
// for 122, not "Disk quota exceeded"), or "Unknown error N" for a status
// without one; a registered code passes unchanged.
std::int32_t windows_error_code(std::uint32_t status);

// "<call> failed: <system text>", e.g. failure_text("socket()", e).
std::string failure_text(std::string_view call, std::int32_t code);

// Composes the failure message and throws it as exception class E.
template <class E>
[[noreturn]] void throw_failure(std::string_view call, std::int32_t code) {
    throw E(failure_text(call, code).c_str());
}

// Text of a C runtime error number (errno): the C library's own text on every
// platform. Windows' message table numbers its errors differently (errno 12
// there would read as an invalid access code).
std::string crt_error_text(std::int32_t code);

// failure_text and throw_failure for a failure the C runtime reports in errno.
std::string crt_failure_text(std::string_view call, std::int32_t code);
template <class E>
[[noreturn]] void throw_crt_failure(std::string_view call, std::int32_t code) {
    throw E(crt_failure_text(call, code).c_str());
}

class NetError : public UnknownError {
public:
    using UnknownError::UnknownError;
};

class SensorError : public UnknownError {
public:
    using UnknownError::UnknownError;
};

}  // namespace kr::error

// The names the failures are known by.
namespace kr::net { using NetError = kr::error::NetError; }
namespace kr::sensor { using SensorError = kr::error::SensorError; }
