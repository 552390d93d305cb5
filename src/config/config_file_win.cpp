#include "config/config_file.h"

namespace kr::config {

std::FILE* open_config_file(const char* path) { return std::fopen(path, "r"); }

}  // namespace kr::config
