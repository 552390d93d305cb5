#include "thread/crt.h"

#include <cstdlib>

namespace kr::thread {
namespace {
void* platform_malloc(std::size_t size) { return std::malloc(size); }
void* platform_realloc(void* block, std::size_t size) { return std::realloc(block, size); }
void platform_free(void* block) { std::free(block); }
}  // namespace

const MemoryApi& memory_platform_api() {
    static const MemoryApi api{platform_malloc, platform_realloc, platform_free};
    return api;
}

MemoryApi& memory_api() {
    static MemoryApi api = memory_platform_api();
    return api;
}

}  // namespace kr::thread
