#pragma once
// The failure of reading or checking the configuration.
#include "error/error.h"

namespace kr::config {

class ConfigError : public kr::error::UnknownError {
public:
    using UnknownError::UnknownError;
    ConfigError(const char* message, int open_errno) : UnknownError(message), open_errno_(open_errno) {}
    // errno of the failed open of the configuration file; 0 for other failures.
    int open_errno() const { return open_errno_; }

private:
    int open_errno_ = 0;
};

}  // namespace kr::config
