#include "tdh_script.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace kr::capture::test {
using kr::substitute::SchemaCatalog;

ScriptedTdh* ScriptedTdh::current_ = nullptr;
ReallocScript* ReallocScript::current_ = nullptr;

namespace {

std::string narrow_name(const PROPERTY_DATA_DESCRIPTOR* descriptor) {
    std::string name;
    if (descriptor == nullptr || descriptor->PropertyName == 0) return name;
    const auto* units = reinterpret_cast<const unsigned char*>(static_cast<std::uintptr_t>(descriptor->PropertyName));
    for (std::size_t i = 0; units[2 * i] != 0 || units[2 * i + 1] != 0; ++i) {
        name.push_back(static_cast<char>(units[2 * i]));
    }
    return name;
}

}  // namespace

ScriptedTdh::ScriptedTdh(const SchemaCatalog& catalog) : catalog_(catalog), saved_(tdh_api()) {
    current_ = this;
    tdh_api() = TdhApi{event_information, property_size, property};
}

ScriptedTdh::~ScriptedTdh() {
    tdh_api() = saved_;
    current_ = nullptr;
}

void ScriptedTdh::fail_call(std::size_t n, ULONG status) {
    fail_at_ = n;
    fail_status_ = status;
}

void ScriptedTdh::report_size(std::size_t n, ULONG size) {
    size_at_ = n;
    size_value_ = size;
}

// What every call of the decoder passes: no TDH context, and for a property
// one descriptor naming the whole property.
void expect_plain_call(ULONG context_count, PTDH_CONTEXT context, ULONG descriptors,
                       const PROPERTY_DATA_DESCRIPTOR* descriptor) {
    EXPECT_EQ(0u, context_count);
    EXPECT_EQ(nullptr, context);
    if (descriptor == nullptr) return;
    EXPECT_EQ(1u, descriptors);
    EXPECT_EQ(0xFFFFFFFFu, descriptor->ArrayIndex);
    EXPECT_EQ(0u, descriptor->Reserved);
}

bool ScriptedTdh::scripted(Call call, const PROPERTY_DATA_DESCRIPTOR* descriptor, ULONG buffer_size, ULONG* size,
                           ULONG* status) {
    const std::size_t n = calls_.size();
    calls_.push_back(Record{call, call == Call::kEventInformation ? std::string() : narrow_name(descriptor),
                            buffer_size});
    if (n == fail_at_) {
        *status = fail_status_;
        return true;
    }
    if (n == size_at_ && size != nullptr) {
        *size = size_value_;
        *status = call == Call::kEventInformation ? ERROR_INSUFFICIENT_BUFFER : ERROR_SUCCESS;
        return true;
    }
    return false;
}

ULONG WINAPI ScriptedTdh::event_information(PEVENT_RECORD event, ULONG context_count, PTDH_CONTEXT context,
                                            PTRACE_EVENT_INFO buffer, ULONG* size) {
    expect_plain_call(context_count, context, 0, nullptr);
    ULONG status;
    if (current_->scripted(Call::kEventInformation, nullptr, size ? *size : 0, buffer ? nullptr : size, &status)) {
        return status;
    }
    return current_->catalog_.event_information(event, buffer, size);
}

ULONG WINAPI ScriptedTdh::property_size(PEVENT_RECORD event, ULONG context_count, PTDH_CONTEXT context,
                                        ULONG count, PPROPERTY_DATA_DESCRIPTOR descriptor, ULONG* size) {
    expect_plain_call(context_count, context, count, descriptor);
    ULONG status;
    if (current_->scripted(Call::kPropertySize, descriptor, 0, size, &status)) return status;
    return current_->catalog_.property_size(event, count, descriptor, size);
}

ULONG WINAPI ScriptedTdh::property(PEVENT_RECORD event, ULONG context_count, PTDH_CONTEXT context, ULONG count,
                                   PPROPERTY_DATA_DESCRIPTOR descriptor, ULONG buffer_size, PBYTE buffer) {
    expect_plain_call(context_count, context, count, descriptor);
    ULONG status;
    if (current_->scripted(Call::kProperty, descriptor, buffer_size, nullptr, &status)) return status;
    return current_->catalog_.property(event, count, descriptor, buffer_size, buffer);
}

ReallocScript::ReallocScript() : saved_(kr::thread::memory_api()) {
    current_ = this;
    kr::thread::memory_api().realloc = realloc;
}

ReallocScript::~ReallocScript() {
    kr::thread::memory_api() = saved_;
    current_ = nullptr;
}

void* ReallocScript::realloc(void* block, std::size_t size) {
    ReallocScript& self = *current_;
    const std::size_t n = self.sizes_.size();
    self.sizes_.push_back(size);
    if (n == self.fail_at_) {
        errno = ENOMEM;
        return nullptr;
    }
    return self.saved_.realloc(block, size);
}

}  // namespace kr::capture::test
