#pragma once
// The trace session: creates or finds the real-time session, enables the DNS
// server provider, and runs the processing loop on a thread of its own,
// decoding every event into the holder's message callback.
#include <atomic>
#include <exception>

#include "capture/decoder.h"
#include "capture/etw_types.h"
#include "thread/thread.h"

namespace kr::capture {

extern const char kSessionName[];  // "tarsel-agent"
// {01A1C6BA-3C9C-4C71-B8BD-544941E1A09E}
extern const GUID kSessionGuid;

struct EtwSession {
    // Written by the session thread, read by stop: shared without a lock.
    std::atomic<TRACEHANDLE> trace_handle{INVALID_PROCESSTRACE_HANDLE};
    std::atomic<bool> stop_flag{false};
    kr::thread::ThreadHandle thread = nullptr;
    MessageCallback message_callback = nullptr;
    void* callback_context = nullptr;
    DecoderState decoder;
    // A failure raised by the message callback inside the processing loop,
    // carried out of the platform's frames and raised again after it returns.
    std::exception_ptr callback_failure;

    ~EtwSession() { decoder_release(decoder); }
};

}  // namespace kr::capture
