#pragma once
// Test doubles for the decoder's seams. ScriptedTdh answers TDH calls from a
// schema catalog (the DNS server's by default), records each call and can
// replace the answer of any one call. ReallocScript counts reallocations and
// can fail any one of them as the C runtime does (null, errno = ENOMEM).
// Both install themselves for their lifetime; one of each at a time.
#include <cstddef>
#include <string>
#include <vector>

#include "capture/tdh_api.h"
#include "substitute/tdh_substitute.h"
#include "thread/crt.h"

namespace kr::capture::test {

class ScriptedTdh {
public:
    enum class Call { kEventInformation, kPropertySize, kProperty };
    struct Record {
        Call call;
        std::string property;  // the descriptor's name; empty for event information
        ULONG buffer_size;     // as declared by the caller
    };

    explicit ScriptedTdh(const substitute::SchemaCatalog& catalog = substitute::dns_server_catalog());
    ~ScriptedTdh();
    ScriptedTdh(const ScriptedTdh&) = delete;
    ScriptedTdh& operator=(const ScriptedTdh&) = delete;

    // Call number n (from 0, counted over all three kinds) returns status unanswered.
    void fail_call(std::size_t n, ULONG status);
    // Call number n, a size query, succeeds with this size.
    void report_size(std::size_t n, ULONG size);
    const std::vector<Record>& calls() const { return calls_; }

private:
    static ULONG WINAPI event_information(PEVENT_RECORD, ULONG, PTDH_CONTEXT, PTRACE_EVENT_INFO, ULONG*);
    static ULONG WINAPI property_size(PEVENT_RECORD, ULONG, PTDH_CONTEXT, ULONG, PPROPERTY_DATA_DESCRIPTOR, ULONG*);
    static ULONG WINAPI property(PEVENT_RECORD, ULONG, PTDH_CONTEXT, ULONG, PPROPERTY_DATA_DESCRIPTOR, ULONG, PBYTE);
    // True when the current call is scripted; *status is then its answer.
    bool scripted(Call call, const PROPERTY_DATA_DESCRIPTOR* descriptor, ULONG buffer_size, ULONG* size,
                  ULONG* status);

    static ScriptedTdh* current_;
    const substitute::SchemaCatalog& catalog_;
    TdhApi saved_;
    std::vector<Record> calls_;
    std::size_t fail_at_ = ~std::size_t{0};
    ULONG fail_status_ = 0;
    std::size_t size_at_ = ~std::size_t{0};
    ULONG size_value_ = 0;
};

class ReallocScript {
public:
    ReallocScript();
    ~ReallocScript();
    ReallocScript(const ReallocScript&) = delete;
    ReallocScript& operator=(const ReallocScript&) = delete;

    // Reallocation number n (from 0) fails.
    void fail_call(std::size_t n) { fail_at_ = n; }
    // The sizes asked for so far, failed calls included.
    const std::vector<std::size_t>& sizes() const { return sizes_; }
    void clear() { sizes_.clear(); }

private:
    static void* realloc(void* block, std::size_t size);

    static ReallocScript* current_;
    kr::thread::MemoryApi saved_;
    std::vector<std::size_t> sizes_;
    std::size_t fail_at_ = ~std::size_t{0};
};

}  // namespace kr::capture::test
