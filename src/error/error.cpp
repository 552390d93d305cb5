#include "error/error.h"

#include <map>
#include <mutex>

namespace kr::error {
namespace {

constexpr std::int32_t kApplicationBit = 0x20000000;
constexpr std::size_t kMaxRegistered = 256;

std::mutex registry_lock;
std::map<std::int32_t, std::string>& registry() {
    static auto* texts = new std::map<std::int32_t, std::string>();
    return *texts;
}

}  // namespace

std::int32_t register_error_text(const std::string& text) {
    std::lock_guard<std::mutex> guard(registry_lock);
    auto& texts = registry();
    for (const auto& [code, known] : texts) {
        if (known == text) return code;
    }
    // Bounded: the oldest registration gives way (codes are reused in turn).
    static std::int32_t next = 0;
    std::int32_t code = kApplicationBit | (next++ % static_cast<std::int32_t>(kMaxRegistered));
    texts[code] = text;
    return code;
}

std::string system_error_text(std::int32_t code) {
    if (code & kApplicationBit) {
        std::lock_guard<std::mutex> guard(registry_lock);
        auto it = registry().find(code);
        if (it != registry().end()) return it->second;
    }
    return platform_error_text(code);
}

namespace {

std::string compose(std::string_view call, const std::string& reason) {
    std::string text;
    text.reserve(call.size() + 9 + reason.size());
    text.append(call);
    text.append(" failed: ");
    text.append(reason);
    return text;
}

}  // namespace

std::string failure_text(std::string_view call, std::int32_t code) { return compose(call, system_error_text(code)); }

std::string crt_failure_text(std::string_view call, std::int32_t code) { return compose(call, crt_error_text(code)); }

}  // namespace kr::error
