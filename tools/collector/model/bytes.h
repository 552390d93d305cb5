#pragma once
// A read-only view of bytes owned elsewhere, and big-endian reads from it.
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace kr::collector {

struct Bytes {
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;

    Bytes() = default;
    Bytes(const std::uint8_t* d, std::size_t n) : data(d), size(n) {}
    Bytes sub(std::size_t offset, std::size_t length) const { return Bytes(data + offset, length); }
    std::string_view text() const { return std::string_view(reinterpret_cast<const char*>(data), size); }
};

// Callers check the bounds first.
inline std::uint16_t read_be16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}
inline std::uint32_t read_be32(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

}  // namespace kr::collector
