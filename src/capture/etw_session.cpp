#include "capture/etw_session.h"

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <string>

#include "capture/etw_api.h"
#include "error/error.h"
#include "log/log.h"
#include "thread/crt.h"

namespace kr::capture {

const char kSessionName[] = "tarsel-agent";
const GUID kSessionGuid = {0x01A1C6BA, 0x3C9C, 0x4C71, {0xB8, 0xBD, 0x54, 0x49, 0x41, 0xE1, 0xA0, 0x9E}};

namespace {

using kr::log::log_print;
using kr::net::NetError;

std::uint32_t session_thread(void* argument) {
    run_session(*static_cast<EtwSession*>(argument));
    return 0;
}

// A failed Windows call, its status kept for the failure record.
class StatusError : public NetError {
public:
    StatusError(const std::string& text, std::uint32_t status) : NetError(text.c_str()), status(status) {}
    std::uint32_t status;
};

// A failed Windows call: its status with the Windows text on every platform.
[[noreturn]] void throw_status(const char* call, std::uint32_t status) {
    throw StatusError(kr::error::failure_text(call, kr::error::windows_error_code(status)), status);
}

void session_failed(EtwSession& session, const char* text, const std::exception* e) {
    log_print("ERROR - ETW session failed: %s", text);
    if (session.stop_flag) return;  // ending anyway: a stop was asked for
    const auto* status = dynamic_cast<const StatusError*>(e);
    session.failure = SessionFailure{session.step, status ? status->status : 0u, text};
    if (session.on_failure) session.on_failure(session.step, session.failure_context);
}

// The properties block: the structure followed by the session name.
EVENT_TRACE_PROPERTIES* make_properties(std::size_t size, ULONG buffers) {
    auto* block = static_cast<std::uint8_t*>(kr::thread::mem_malloc(size));
    if (!block) {
        const int code = errno;  // before the text is built: that allocates
        kr::error::throw_crt_failure<NetError>("malloc(EVENT_TRACE_PROPERTIES:" + std::to_string(size) + ")", code);
    }
    std::memset(block, 0, size);
    auto* properties = reinterpret_cast<EVENT_TRACE_PROPERTIES*>(block);
    properties->Wnode.BufferSize = static_cast<ULONG>(size);
    properties->Wnode.Guid = kSessionGuid;
    properties->Wnode.ClientContext = 1;
    properties->Wnode.Flags = WNODE_FLAG_TRACED_GUID;
    properties->BufferSize = 128;
    properties->LogFileMode = EVENT_TRACE_REAL_TIME_MODE;
    properties->FlushTimer = 1;
    // More buffers let a busy server's bursts wait for a consumer that stalls.
    properties->MinimumBuffers = buffers;
    properties->MaximumBuffers = buffers;
    properties->LoggerNameOffset = sizeof(EVENT_TRACE_PROPERTIES);
    std::memcpy(block + sizeof(EVENT_TRACE_PROPERTIES), kSessionName, sizeof kSessionName);
    return properties;
}

void start_or_find_session(EtwSession& session, EVENT_TRACE_PROPERTIES* properties) {
    const EtwApi& etw = etw_api();
    TRACEHANDLE controller = 0;
    ULONG status = etw.start_trace(&controller, kSessionName, properties);
    if (status == ERROR_SUCCESS) {
        session.step = SessionStep::enable;
        log_print("Enable DNS server provider for ETW trace...");
        status = etw.enable_trace_ex2(controller, &kDnsServerProviderGuid, EVENT_CONTROL_CODE_ENABLE_PROVIDER,
                                      TRACE_LEVEL_INFORMATION, 0, 0, 0, nullptr);
        if (status != ERROR_SUCCESS) throw_status("EnableTraceEx2()", status);
    } else if (status == ERROR_ALREADY_EXISTS) {
        // Left running by an earlier run, provider still enabled: consume it as it is.
        log_print("ETW trace with name %s already started!", kSessionName);
    } else {
        throw_status("StartTrace()", status);
    }
}

// Opens the trace and runs the processing loop until it ends.
void process(EtwSession& session) {
    const EtwApi& etw = etw_api();
    log_print("Opening ETW trace...");
    EVENT_TRACE_LOGFILEA logfile;
    std::memset(&logfile, 0, sizeof logfile);
    logfile.LoggerName = const_cast<LPSTR>(kSessionName);
    logfile.LogFileName = nullptr;
    logfile.ProcessTraceMode = PROCESS_TRACE_MODE_REAL_TIME | PROCESS_TRACE_MODE_EVENT_RECORD;
    logfile.BufferCallback = on_buffer;
    logfile.EventRecordCallback = on_event;
    logfile.Context = &session;
    TRACEHANDLE handle = etw.open_trace(&logfile);
    session.trace_handle = handle;
    if (handle == INVALID_PROCESSTRACE_HANDLE) {
        throw_status("OpenTrace()", etw.last_error());
    }
    // A stop that came before the handle was stored could not close it; the
    // flag tells us, so the loop is never entered with nobody left to end it.
    if (!session.stop_flag) {
        session.step = SessionStep::process;
        log_print("Entering ETW trace processing loop...");
        TRACEHANDLE handles[1] = {handle};
        ULONG status = etw.process_trace(handles, 1, nullptr, nullptr);
        // Whatever the last buffer's end left behind.
        if (session.buffer_end != nullptr) session.buffer_end(session.buffer_end_context);
        if (session.callback_failure) std::rethrow_exception(session.callback_failure);
        // A requested stop ends the loop through on_buffer, which the platform
        // reports as a cancellation, or closes the handle just before the loop
        // starts on it: either is the normal end, not a failure.
        const bool stopped =
            session.stop_flag && (status == ERROR_CANCELLED || status == ERROR_INVALID_HANDLE);
        if (status != ERROR_SUCCESS && !stopped) throw_status("ProcessTrace()", status);
    }
    log_print("Closing ETW trace...");
    etw.close_trace(handle);
    log_print("ETW session finished");
}

}  // namespace

void EtwSessionHolder::clear() {
    session = nullptr;
    callback = nullptr;
    context = nullptr;
    buffer_end = nullptr;
    buffer_end_context = nullptr;
}

void EtwSessionHolder::set_callback(MessageCallback new_callback, void* new_context) {
    callback = new_callback;
    context = new_context;
}

void EtwSessionHolder::set_buffer_end(void (*new_callback)(void*), void* new_context) {
    buffer_end = new_callback;
    buffer_end_context = new_context;
}

void EtwSessionHolder::start() {
    if (session) return;
    failure.reset();
    session = new EtwSession();
    session->message_callback = forward_message;
    session->callback_context = this;
    session->buffer_end = buffer_end;
    session->buffer_end_context = buffer_end_context;
    session->counters = counters;
    session->ipv4_clients_only = ipv4_clients_only;
    session->buffers = buffers;
    session->on_failure = on_failure;
    session->failure_context = failure_context;
    int rc = kr::thread::thread_create(&session->thread, nullptr, session_thread, session);
    if (rc != 0) kr::error::throw_failure<NetError>("pthread_create()", rc);
}

void EtwSessionHolder::stop() {
    if (!session) return;
    if (session->thread) {
        session->stop_flag = true;
        log_print("Closing ETW trace...");
        etw_api().close_trace(session->trace_handle);
        kr::thread::thread_join(session->thread, nullptr);
        session->thread = nullptr;
    }
    // The thread has ended (or never ran): nothing else refers to the record.
    failure = std::move(session->failure);
    delete session;
    session = nullptr;
}

int forward_message(const std::uint8_t* data, std::uint32_t length, void* context) {
    auto* holder = static_cast<EtwSessionHolder*>(context);
    if (!holder->callback) return 0;
    return holder->callback(data, length, holder->context);
}

void run_session(EtwSession& session) {
    EVENT_TRACE_PROPERTIES* properties = nullptr;
    try {
        log_print("Starting ETW trace...");
        properties = make_properties(sizeof(EVENT_TRACE_PROPERTIES) + sizeof kSessionName, session.buffers);
        start_or_find_session(session, properties);
        session.step = SessionStep::open;
        process(session);
    } catch (const std::exception& e) {
        session_failed(session, e.what(), &e);
    } catch (...) {
        session_failed(session, "unknown exception", nullptr);
    }
    if (properties) kr::thread::mem_free(properties);
}

ULONG session_buffers(std::uint32_t configured) {
    // Windows gives a session at least two buffers per processor whatever it
    // is asked; the line after the first query says what it granted.
    if (configured == 1) {
        log_print("etw-buffers 1 raised to 2 (the fewest a trace session takes)");
        return 2;
    }
    if (configured > kMaxSessionBuffers) {
        log_print("etw-buffers %u lowered to %u (the most the agent asks for)", static_cast<unsigned>(configured),
                  static_cast<unsigned>(kMaxSessionBuffers));
        return kMaxSessionBuffers;
    }
    return configured;
}

ULONG query_trace_losses(TraceLosses& out) {
    // Room after the structure for the names the system writes back.
    struct Block {
        EVENT_TRACE_PROPERTIES properties;
        char logger_name[1024];
        char log_file_name[1024];
    } block;
    std::memset(&block, 0, sizeof block);
    block.properties.Wnode.BufferSize = sizeof block;
    // The fields Windows reads from a query: size, session GUID, name offsets.
    block.properties.Wnode.Guid = kSessionGuid;
    block.properties.LoggerNameOffset = offsetof(Block, logger_name);
    block.properties.LogFileNameOffset = offsetof(Block, log_file_name);
    const ULONG status = etw_api().control_trace(0, kSessionName, &block.properties, EVENT_TRACE_CONTROL_QUERY);
    if (status != ERROR_SUCCESS) return status;
    out.events_lost = block.properties.EventsLost;
    out.realtime_buffers_lost = block.properties.RealTimeBuffersLost;
    out.buffer_kb = block.properties.BufferSize;
    out.minimum_buffers = block.properties.MinimumBuffers;
    out.maximum_buffers = block.properties.MaximumBuffers;
    out.buffers = block.properties.NumberOfBuffers;
    return ERROR_SUCCESS;
}

ULONG WINAPI on_buffer(PEVENT_TRACE_LOGFILEA logfile) {
    auto* session = static_cast<EtwSession*>(logfile->Context);
    if (session->buffer_end != nullptr) session->buffer_end(session->buffer_end_context);
    return (session->stop_flag || session->callback_failure) ? FALSE : TRUE;
}

void WINAPI on_event(PEVENT_RECORD record) {
    auto* session = static_cast<EtwSession*>(record->UserContext);
    // After a failure the loop is ending; later events are not decoded.
    if (session->callback_failure) return;
    try {
        decode_event(*session, record);
    } catch (...) {
        // Never let an exception unwind through the platform's processing
        // loop: carry it out and end the loop at the next buffer.
        session->callback_failure = std::current_exception();
    }
}

}  // namespace kr::capture
