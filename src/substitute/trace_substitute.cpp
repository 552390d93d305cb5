#include "substitute/trace_substitute.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace kr::substitute {
using kr::capture::EtwApi;

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kSourceWaitMs = 100;
constexpr auto kBufferPeriod = std::chrono::milliseconds(250);
constexpr unsigned kEventsPerBuffer = 4096;
// What the stand-in takes for the system's choice of session buffers.
constexpr ULONG kDefaultBufferKb = 64;
constexpr ULONG kDefaultBuffers = 64;

struct Session {
    TRACEHANDLE controller = 0;
    std::vector<GUID> providers;
    ULONG buffer_kb = kDefaultBufferKb;
    ULONG minimum_buffers = kDefaultBuffers;
    ULONG maximum_buffers = kDefaultBuffers;
};

struct Consumer {
    EVENT_TRACE_LOGFILEA logfile;
    std::shared_ptr<EventSource> source;
    std::atomic<bool> closed{false};
    std::atomic<bool> processing{false};
    std::mutex lock;
    std::condition_variable closed_signal;
    std::string session_name;
};

struct State {
    std::mutex lock;
    std::map<std::string, Session> sessions;
    std::map<TRACEHANDLE, std::shared_ptr<Consumer>> consumers;
    std::shared_ptr<EventSource> source;
    TRACEHANDLE next_handle = 0x100;
};

State& state() {
    static auto* s = new State();
    return *s;
}

thread_local DWORD last_error_value = 0;

bool same_guid(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

ULONG WINAPI start_trace(PTRACEHANDLE handle, LPCSTR name, PEVENT_TRACE_PROPERTIES properties) {
    if (!handle || !name || !properties) return ERROR_INVALID_PARAMETER;
    if (properties->Wnode.BufferSize < sizeof(EVENT_TRACE_PROPERTIES) ||
        properties->LoggerNameOffset < sizeof(EVENT_TRACE_PROPERTIES) ||
        properties->LoggerNameOffset >= properties->Wnode.BufferSize)
        return ERROR_INVALID_PARAMETER;
    if ((properties->LogFileMode & EVENT_TRACE_REAL_TIME_MODE) == 0) return ERROR_INVALID_PARAMETER;
    auto& s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    if (s.sessions.count(name)) return ERROR_ALREADY_EXISTS;
    *handle = s.next_handle++;
    Session& session = s.sessions[name];
    session.controller = *handle;
    if (properties->BufferSize != 0) session.buffer_kb = properties->BufferSize;
    if (properties->MaximumBuffers != 0) session.maximum_buffers = properties->MaximumBuffers;
    if (properties->MinimumBuffers != 0) session.minimum_buffers = properties->MinimumBuffers;
    return ERROR_SUCCESS;
}

ULONG WINAPI enable_trace_ex2(TRACEHANDLE handle, LPCGUID provider, ULONG control_code, UCHAR, ULONGLONG,
                              ULONGLONG, ULONG, PENABLE_TRACE_PARAMETERS) {
    if (!provider || control_code != EVENT_CONTROL_CODE_ENABLE_PROVIDER) return ERROR_INVALID_PARAMETER;
    auto& s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    for (auto& [name, session] : s.sessions) {
        if (session.controller != handle) continue;
        for (const auto& known : session.providers) {
            if (same_guid(known, *provider)) return ERROR_SUCCESS;
        }
        session.providers.push_back(*provider);
        return ERROR_SUCCESS;
    }
    return ERROR_INVALID_HANDLE;
}

TRACEHANDLE WINAPI open_trace(PEVENT_TRACE_LOGFILEA logfile) {
    const ULONG wanted = PROCESS_TRACE_MODE_REAL_TIME | PROCESS_TRACE_MODE_EVENT_RECORD;
    if (!logfile || !logfile->LoggerName || logfile->LogFileName ||
        (logfile->ProcessTraceMode & wanted) != wanted || !logfile->EventRecordCallback) {
        last_error_value = ERROR_INVALID_PARAMETER;
        return INVALID_PROCESSTRACE_HANDLE;
    }
    auto consumer = std::make_shared<Consumer>();
    consumer->logfile = *logfile;
    consumer->session_name = logfile->LoggerName;
    auto& s = state();
    // A real-time trace is opened by name alone: whether the session exists
    // is only found out by ProcessTrace.
    {
        std::lock_guard<std::mutex> guard(s.lock);
        consumer->source = s.source;
        auto it = s.sessions.find(consumer->session_name);
        if (consumer->source && it != s.sessions.end()) {
            consumer->source->set_buffers(it->second.buffer_kb * 1024, it->second.maximum_buffers);
        }
    }
    if (consumer->source) {
        ULONG status = consumer->source->open();
        if (status != ERROR_SUCCESS) {
            last_error_value = status;
            return INVALID_PROCESSTRACE_HANDLE;
        }
    }
    std::lock_guard<std::mutex> guard(s.lock);
    TRACEHANDLE handle = s.next_handle++;
    s.consumers[handle] = consumer;
    return handle;
}

std::shared_ptr<Consumer> find_consumer(TRACEHANDLE handle) {
    auto& s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    auto it = s.consumers.find(handle);
    return it == s.consumers.end() ? nullptr : it->second;
}

bool provider_enabled(const std::string& session_name, const GUID& provider) {
    auto& s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    auto it = s.sessions.find(session_name);
    if (it == s.sessions.end()) return false;
    for (const auto& known : it->second.providers) {
        if (same_guid(known, provider)) return true;
    }
    return false;
}

bool session_exists(const std::string& name) {
    auto& s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    return s.sessions.count(name) != 0;
}

// Hands records to the event callback and each buffer's end to the buffer
// callback until the trace is closed and the records that arrived before the
// close are delivered (the last part-filled buffer included), or until the
// buffer callback returns FALSE. A buffer ends after kEventsPerBuffer events,
// when the source has nothing more at once, and at least every kBufferPeriod.
ULONG deliver(Consumer& consumer) {
    auto last_buffer = Clock::now();
    unsigned events_in_buffer = 0;
    unsigned unclocked = 0;  // events since the clock was last read
    GUID last_provider{};
    bool last_enabled = false;
    auto buffer_done = [&] {
        events_in_buffer = 0;
        last_buffer = Clock::now();
        auto callback = consumer.logfile.BufferCallback;
        return !callback || callback(&consumer.logfile);
    };
    for (;;) {
        const bool closing = consumer.closed;
        const EVENT_RECORD* record = nullptr;
        if (consumer.source) {
            // A buffer that holds events is handed over before any wait, so
            // that its events wait for nothing more than the source's own pace.
            record = consumer.source->next(0);
            if (!record && events_in_buffer > 0 && !buffer_done()) return ERROR_CANCELLED;
            if (!record && !closing) record = consumer.source->next(kSourceWaitMs);
        } else if (!closing) {
            std::unique_lock<std::mutex> guard(consumer.lock);
            consumer.closed_signal.wait_for(guard, std::chrono::milliseconds(kSourceWaitMs),
                                            [&] { return consumer.closed.load(); });
        }
        if (record) {
            // The enabled-provider test is cached for runs of the same provider.
            if (!same_guid(record->EventHeader.ProviderId, last_provider)) {
                last_provider = record->EventHeader.ProviderId;
                last_enabled = provider_enabled(consumer.session_name, last_provider);
            }
            if (last_enabled) {
                EVENT_RECORD delivered = *record;
                delivered.UserContext = consumer.logfile.Context;
                consumer.logfile.EventRecordCallback(&delivered);
                ++events_in_buffer;
            }
        } else if (closing) {
            if (events_in_buffer > 0 && !buffer_done()) return ERROR_CANCELLED;
            return ERROR_SUCCESS;
        }
        // The clock is read when the source ran dry and every 256 events, not per event.
        const bool clock_due = !record || ++unclocked % 256 == 0;
        if (events_in_buffer >= kEventsPerBuffer || (clock_due && Clock::now() - last_buffer >= kBufferPeriod)) {
            if (!buffer_done()) return ERROR_CANCELLED;
        }
    }
}

ULONG WINAPI process_trace(PTRACEHANDLE handles, ULONG count, LPFILETIME, LPFILETIME) {
    if (!handles || count != 1) return ERROR_INVALID_PARAMETER;
    auto consumer = find_consumer(handles[0]);
    if (!consumer) return ERROR_INVALID_HANDLE;
    if (!session_exists(consumer->session_name)) return ERROR_WMI_INSTANCE_NOT_FOUND;
    if (consumer->processing.exchange(true)) return ERROR_INVALID_PARAMETER;
    const ULONG status = deliver(*consumer);
    consumer->processing = false;
    return status;
}

// No new records reach the consumer from now on; its ProcessTrace ends once
// it has delivered those that arrived before.
void end_processing(Consumer& consumer) {
    {
        std::lock_guard<std::mutex> guard(consumer.lock);
        consumer.closed = true;
    }
    consumer.closed_signal.notify_all();
    if (consumer.source) consumer.source->end_input();
}

ULONG WINAPI close_trace(TRACEHANDLE handle) {
    std::shared_ptr<Consumer> consumer;
    {
        auto& s = state();
        std::lock_guard<std::mutex> guard(s.lock);
        auto it = s.consumers.find(handle);
        if (it == s.consumers.end()) return ERROR_INVALID_HANDLE;
        consumer = it->second;
        s.consumers.erase(it);
    }
    end_processing(*consumer);
    // While ProcessTrace runs, the close takes effect once it has delivered
    // what it holds.
    return consumer->processing ? ERROR_CTX_CLOSE_PENDING : ERROR_SUCCESS;
}

// Only the query is modelled: the session's buffers and what its source lost.
ULONG WINAPI control_trace(TRACEHANDLE handle, LPCSTR name, PEVENT_TRACE_PROPERTIES properties, ULONG code) {
    if (!properties || code != EVENT_TRACE_CONTROL_QUERY) return ERROR_INVALID_PARAMETER;
    if (properties->Wnode.BufferSize < sizeof(EVENT_TRACE_PROPERTIES)) return ERROR_INVALID_PARAMETER;
    auto& s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    auto it = s.sessions.begin();
    while (it != s.sessions.end() && !(name ? it->first == name : it->second.controller == handle)) ++it;
    if (it == s.sessions.end()) return ERROR_WMI_INSTANCE_NOT_FOUND;
    const Session& session = it->second;
    properties->BufferSize = session.buffer_kb;
    properties->MinimumBuffers = session.minimum_buffers;
    properties->MaximumBuffers = session.maximum_buffers;
    properties->NumberOfBuffers = session.maximum_buffers;
    properties->LogFileMode = EVENT_TRACE_REAL_TIME_MODE;
    properties->EventsLost = s.source ? static_cast<ULONG>(s.source->events_lost()) : 0;
    // Every buffer reaches the consumer: nothing on the way can fail.
    properties->RealTimeBuffersLost = 0;
    return ERROR_SUCCESS;
}

DWORD last_error() { return last_error_value; }

}  // namespace

const EtwApi& trace_substitute_api() {
    static const EtwApi api{start_trace,  enable_trace_ex2, open_trace, process_trace,
                            close_trace, control_trace,    last_error};
    return api;
}

void trace_set_event_source(std::shared_ptr<EventSource> source) {
    auto& s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    s.source = std::move(source);
}

void trace_substitute_add_session(const std::string& name, const GUID& provider) {
    auto& s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    Session& session = s.sessions[name];
    session.controller = s.next_handle++;
    session.providers = {provider};
}

void trace_substitute_reset() {
    auto& s = state();
    std::vector<std::shared_ptr<Consumer>> open;
    {
        std::lock_guard<std::mutex> guard(s.lock);
        for (auto& [handle, consumer] : s.consumers) open.push_back(consumer);
        s.consumers.clear();
        s.sessions.clear();
        s.source.reset();
    }
    for (auto& consumer : open) end_processing(*consumer);
}

}  // namespace kr::substitute
