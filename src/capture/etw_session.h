#pragma once
// The trace session: creates or finds the real-time session, enables the DNS
// server provider, and runs the processing loop on a thread of its own,
// decoding every event into the holder's message callback.
#include <atomic>
#include <cstdint>
#include <exception>
#include <optional>
#include <string>

#include "capture/decoder.h"
#include "capture/etw_types.h"
#include "thread/thread.h"

namespace kr::capture {

extern const char kSessionName[];  // "tarsel-agent"
// {01A1C6BA-3C9C-4C71-B8BD-544941E1A09E}
extern const GUID kSessionGuid;

// Where the session thread was when it failed: creating the session,
// enabling the provider, opening the trace, or in the processing loop.
enum class SessionStep { start, enable, open, process };

struct SessionFailure {
    SessionStep step = SessionStep::start;
    std::uint32_t status = 0;  // the failed call's Windows status; 0 where there is none
    std::string text;          // as the "ERROR - ETW session failed: " line gives it
};

// Told on the session thread, after its line is logged, when a session
// fails while no stop was asked for.
using SessionFailed = void (*)(SessionStep step, void* context);

struct EtwSession {
    // Written by the session thread, read by stop: shared without a lock.
    std::atomic<TRACEHANDLE> trace_handle{INVALID_PROCESSTRACE_HANDLE};
    std::atomic<bool> stop_flag{false};
    kr::thread::ThreadHandle thread = nullptr;
    MessageCallback message_callback = nullptr;
    void* callback_context = nullptr;
    // Called on the session thread at the end of every buffer of events the
    // trace delivers, and once more when the processing loop has ended: where
    // messages gathered per buffer are handed on. Null: nothing is called.
    void (*buffer_end)(void* context) = nullptr;
    void* buffer_end_context = nullptr;
    DecoderState decoder;
    // Null counts nothing; the holder points it at counters that outlive the session.
    DecoderCounters* counters = nullptr;
    // False: client addresses in IPv6 text are forwarded too.
    bool ipv4_clients_only = true;
    // Minimum and maximum buffers of a session this run creates; 0 leaves the system's choice.
    ULONG buffers = 0;
    // A failure raised by the message callback inside the processing loop,
    // carried out of the platform's frames and raised again after it returns.
    std::exception_ptr callback_failure;
    // Session thread only, until it is joined.
    SessionStep step = SessionStep::start;
    std::optional<SessionFailure> failure;
    SessionFailed on_failure = nullptr;
    void* failure_context = nullptr;

    ~EtwSession() { decoder_release(decoder); }
};

// Owned by the run sequence, used on its thread only: clear, set_callback,
// start, stop. The destructor stops as stop does.
class EtwSessionHolder {
public:
    EtwSessionHolder() = default;
    ~EtwSessionHolder() { stop(); }
    EtwSessionHolder(const EtwSessionHolder&) = delete;
    EtwSessionHolder& operator=(const EtwSessionHolder&) = delete;

    void clear();
    // Where decoded messages go; read at every message, so it may change while running.
    void set_callback(MessageCallback callback, void* context);
    // What each session that start makes calls at the end of a buffer of events.
    void set_buffer_end(void (*callback)(void* context), void* context);
    // Creates the session and starts its thread; returns at once. Throws
    // NetError when the thread cannot be started. Does nothing if running.
    void start();
    // Closes the trace, waits for the session thread and forgets the session.
    // Never throws; does nothing without a session.
    void stop();

    EtwSession* session = nullptr;
    MessageCallback callback = nullptr;
    void* context = nullptr;
    void (*buffer_end)(void* context) = nullptr;
    void* buffer_end_context = nullptr;
    // Given to each session that start makes.
    DecoderCounters* counters = nullptr;
    bool ipv4_clients_only = true;
    ULONG buffers = 0;
    SessionFailed on_failure = nullptr;
    void* failure_context = nullptr;
    // How the last session failed, taken over by stop() once its thread has
    // ended; empty when it did not fail.
    std::optional<SessionFailure> failure;
};

// What the session itself lost, as the system counts it since the session
// started (it may be older than this run), and the buffers it was granted.
struct TraceLosses {
    std::uint64_t events_lost = 0;             // events that found no free buffer
    std::uint64_t realtime_buffers_lost = 0;   // buffers never delivered to a consumer
    ULONG buffer_kb = 0;                       // size of each buffer
    ULONG minimum_buffers = 0;
    ULONG maximum_buffers = 0;
    ULONG buffers = 0;                         // allocated now
};

// Asks the system for the session's counters (a read-only query by name):
// ERROR_SUCCESS, or the failed query's status with out untouched (no
// session yet, or one stopped from outside).
ULONG query_trace_losses(TraceLosses& out);

// The most buffers the agent asks a session for: 128 MB of 128 KB buffers.
constexpr std::uint32_t kMaxSessionBuffers = 1024;

// etw-buffers as a session is asked for it: 0 (the system's choice) as it
// is, else within 2 and kMaxSessionBuffers, with a line when it was changed.
ULONG session_buffers(std::uint32_t configured);

// The message callback of every session: passes the message on to the
// holder's callback (the context), or drops it when none is set.
int forward_message(const std::uint8_t* data, std::uint32_t length, void* context);

// Body of the session thread: start or find the session, enable the
// provider, open the trace and process it until closed. Every failure is one
// "ERROR - ETW session failed: " line, kept in `failure` and told to
// `on_failure` unless a stop was asked for; nothing leaves.
void run_session(EtwSession& session);

ULONG WINAPI on_buffer(PEVENT_TRACE_LOGFILEA logfile);
void WINAPI on_event(PEVENT_RECORD record);

}  // namespace kr::capture
