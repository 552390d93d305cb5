#pragma once
// The C runtime's allocation calls, routed through one table so that tests
// can make any single malloc or realloc fail (setting errno as the runtime does).
#include <cstddef>

namespace kr::thread {

struct MemoryApi {
    void* (*malloc)(std::size_t size);
    void* (*realloc)(void* block, std::size_t size);
    void (*free)(void* block);
};

MemoryApi& memory_api();
const MemoryApi& memory_platform_api();

inline void* mem_malloc(std::size_t size) { return memory_api().malloc(size); }
inline void* mem_realloc(void* block, std::size_t size) { return memory_api().realloc(block, size); }
inline void mem_free(void* block) { memory_api().free(block); }

}  // namespace kr::thread
