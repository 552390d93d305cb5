#pragma once
// Opens the configuration file for reading as fopen(path, "r") does on
// Windows: null with errno set on failure, including for a directory, which
// the C library opens elsewhere.
#include <cstdio>

namespace kr::config {

std::FILE* open_config_file(const char* path);

}  // namespace kr::config
