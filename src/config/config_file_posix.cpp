#include <sys/stat.h>

#include <cerrno>

#include "config/config_file.h"

namespace kr::config {

std::FILE* open_config_file(const char* path) {
    std::FILE* file = std::fopen(path, "r");
    struct stat status;
    if (file != nullptr && fstat(fileno(file), &status) == 0 && S_ISDIR(status.st_mode)) {
        std::fclose(file);
        errno = EISDIR;
        return nullptr;
    }
    return file;
}

}  // namespace kr::config
