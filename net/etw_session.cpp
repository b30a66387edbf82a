#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "config/settings.hpp"
#include "error/error.hpp"
#include "net/etw_trace_state.hpp"
#include "support/back_off.hpp"
#include "support/log.hpp"

namespace tarn::net {

namespace {

constexpr char session_name[] = "sabrel-agent";
constexpr GUID session_guid = {
    0x01A1C6BA, 0x3C9C, 0x4C71, {0xB8, 0xBD, 0x54, 0x49, 0x41, 0xE1, 0xA0, 0x9E}};
constexpr ULONG properties_size = sizeof(EVENT_TRACE_PROPERTIES) + sizeof session_name;

struct FreeBlock {
    void operator()(void* block) const { std::free(block); }
};

using PropertiesBlock = std::unique_ptr<void, FreeBlock>;

// The real-time session's properties, its name directly behind them.
EVENT_TRACE_PROPERTIES* allocate_properties(PropertiesBlock& block) {
    block.reset(std::malloc(properties_size));
    if (!block) {
        int code = errno;
        error::throw_failure<NetError>(
            "malloc(EVENT_TRACE_PROPERTIES:" + std::to_string(properties_size) + ")", code);
    }
    std::memset(block.get(), 0, properties_size);
    auto* properties = static_cast<EVENT_TRACE_PROPERTIES*>(block.get());
    properties->Wnode.BufferSize = properties_size;
    properties->Wnode.Guid = session_guid;
    properties->Wnode.ClientContext = 1;  // query performance counter clock
    properties->Wnode.Flags = WNODE_FLAG_TRACED_GUID;
    const config::EtwBuffers& asked = config::etw_buffers;
    properties->BufferSize = asked.size_kb != 0 ? asked.size_kb : 128;
    properties->MinimumBuffers = asked.minimum;
    properties->MaximumBuffers = asked.maximum;
    properties->LogFileMode = EVENT_TRACE_REAL_TIME_MODE;
    properties->FlushTimer = 1;
    properties->LoggerNameOffset = sizeof(EVENT_TRACE_PROPERTIES);
    std::memcpy(static_cast<char*>(block.get()) + sizeof(EVENT_TRACE_PROPERTIES), session_name,
                sizeof session_name);
    return properties;
}

void enable_provider(TRACEHANDLE session_handle) {
    ULONG enabled =
        EnableTraceEx2(session_handle, &dns_server_provider, EVENT_CONTROL_CODE_ENABLE_PROVIDER,
                       TRACE_LEVEL_INFORMATION, 0, 0, 0, nullptr);
    if (enabled != ERROR_SUCCESS) {
        error::throw_failure<NetError>("EnableTraceEx2()", enabled);
    }
}

// A ControlTrace block with room behind it for the session and log file names ETW writes back.
struct ControlBlock {
    static constexpr size_t name_room = 1024;
    EVENT_TRACE_PROPERTIES properties;
    char names[2 * name_room];
};

ULONG control_session(ControlBlock& block, ULONG control_code) {
    block.properties.Wnode.BufferSize = sizeof block;
    block.properties.LoggerNameOffset = offsetof(ControlBlock, names);
    block.properties.LogFileNameOffset = offsetof(ControlBlock, names) + ControlBlock::name_room;
    return ControlTraceA(0, session_name, &block.properties, control_code);
}

bool differs(uint32_t asked, ULONG running) {
    return asked != 0 && asked != running;
}

// ETW lets a running real-time session take a new largest number of buffers, nothing else of
// its buffers: the rest waits until the session is made again, and the log says so.
void adapt_buffers(ControlBlock& running) {
    const config::EtwBuffers& asked = config::etw_buffers;
    EVENT_TRACE_PROPERTIES& now = running.properties;
    bool kept =
        differs(asked.size_kb, now.BufferSize) || differs(asked.minimum, now.MinimumBuffers);
    if (differs(asked.maximum, now.MaximumBuffers)) {
        ControlBlock update = running;  // as queried: still real-time, no log file to switch to
        update.properties.MaximumBuffers = asked.maximum;
        update.properties.LogFileNameOffset = 0;
        if (ControlTraceA(0, session_name, &update.properties, EVENT_TRACE_CONTROL_UPDATE) ==
            ERROR_SUCCESS) {
            now.MaximumBuffers = update.properties.MaximumBuffers;
            log_message("ETW trace with name %s now has at most %u buffers", session_name,
                        static_cast<unsigned>(now.MaximumBuffers));
        }
        kept = kept || now.MaximumBuffers != asked.maximum;
    }
    if (kept) {
        log_message(
            "ETW trace with name %s keeps its buffers (%u KB, %u to %u) until it is made "
            "again",
            session_name, static_cast<unsigned>(now.BufferSize),
            static_cast<unsigned>(now.MinimumBuffers), static_cast<unsigned>(now.MaximumBuffers));
    }
}

// The session found running may come from an earlier run, or from an attempt whose enabling
// failed, or lack the provider for any other reason: it is enabled again either way.
void attach_session() {
    ControlBlock running;
    std::memset(&running, 0, sizeof running);
    ULONG queried = control_session(running, EVENT_TRACE_CONTROL_QUERY);
    if (queried != ERROR_SUCCESS) {
        error::throw_failure<NetError>("ControlTrace()", queried);
    }
    adapt_buffers(running);
    enable_provider(running.properties.Wnode.HistoricalContext);
}

void start_session(EVENT_TRACE_PROPERTIES* properties) {
    TRACEHANDLE session_handle = 0;
    ULONG started = StartTraceA(&session_handle, session_name, properties);
    if (started == ERROR_ALREADY_EXISTS) {
        log_message("ETW trace with name %s already started!", session_name);
        attach_session();
    } else if (started != ERROR_SUCCESS) {
        error::throw_failure<NetError>("StartTrace()", started);
    } else {
        log_message("Enable DNS server provider for ETW trace...");
        enable_provider(session_handle);
    }
}

// The consumer description must outlive ProcessTrace: its callbacks receive it.
TRACEHANDLE open_trace(EtwTraceState& state, EVENT_TRACE_LOGFILEA& logfile) {
    log_message("Opening ETW trace...");
    std::memset(&logfile, 0, sizeof logfile);
    logfile.LogFileName = nullptr;
    logfile.LoggerName = const_cast<char*>(session_name);
    logfile.ProcessTraceMode = PROCESS_TRACE_MODE_REAL_TIME | PROCESS_TRACE_MODE_EVENT_RECORD;
    logfile.BufferCallback = keep_processing;
    logfile.EventRecordCallback = on_event_record;
    logfile.Context = &state;
    TRACEHANDLE handle = OpenTraceA(&logfile);
    state.trace_handle = handle;
    if (handle == INVALID_PROCESSTRACE_HANDLE) {  // reported with the ProcessTrace words
        error::throw_failure<NetError>("ProcessTrace()", GetLastError());
    }
    return handle;
}

void process_trace(EtwTraceState& state, TRACEHANDLE handle) {
    // A stop that came before the handle was stored could not close it; ProcessTrace would
    // then wait for the next buffer, so it is not entered at all.
    if (state.stop) {
        return;
    }
    log_message("Entering ETW trace processing loop...");
    TRACEHANDLE handles[1] = {handle};
    ULONG processed = ProcessTrace(handles, 1, nullptr, nullptr);
    if (state.callback_failure) {
        std::rethrow_exception(state.callback_failure);
    }
    // Closed by a stop between the check above and the call: not a failure.
    if (processed != ERROR_SUCCESS && !state.stop) {
        error::throw_failure<NetError>("ProcessTrace()", processed);
    }
}

void trace_steps(EtwTraceState& state, PropertiesBlock& block) {
    log_message("Starting ETW trace...");
    start_session(allocate_properties(block));
    EVENT_TRACE_LOGFILEA logfile;
    TRACEHANDLE handle = open_trace(state, logfile);
    process_trace(state, handle);
    log_message("Closing ETW trace...");
    close_trace(state);
    log_message("ETW session finished");
}

}  // namespace

bool query_session_losses(uint64_t& events_lost, uint64_t& buffers_lost) {
    ControlBlock block;
    std::memset(&block, 0, sizeof block);
    if (control_session(block, EVENT_TRACE_CONTROL_QUERY) != ERROR_SUCCESS) {
        return false;
    }
    events_lost = block.properties.EventsLost;
    buffers_lost = block.properties.RealTimeBuffersLost;
    return true;
}

// Every failure ends the attempt with one line, and the handle it opened is closed on every path.
void trace_once(EtwTraceState& state) {
    PropertiesBlock block;
    state.callback_failure = nullptr;
    try {
        trace_steps(state, block);
    } catch (const std::exception& failure) {
        log_message("ERROR - ETW session failed: %s", failure.what());
    }
    close_trace(state);
}

void close_trace(EtwTraceState& state) {
    TRACEHANDLE handle = state.trace_handle.exchange(INVALID_PROCESSTRACE_HANDLE);
    if (handle != INVALID_PROCESSTRACE_HANDLE) {
        CloseTrace(handle);
    }
}

// Capture that ended or failed before a stop is tried again, so a running agent never sits
// without capture: the session may have been stopped from outside, or not be startable yet.
uint32_t run_trace(void* argument) {
    auto& state = *static_cast<EtwTraceState*>(argument);
    do {
        trace_once(state);
    } while (!state.stop && wait_for_retry(state.stop));
    return 0;
}

ULONG WINAPI keep_processing(PEVENT_TRACE_LOGFILEA logfile) {
    auto* state = static_cast<EtwTraceState*>(logfile->Context);
    return state->stop || state->callback_failure ? FALSE : TRUE;
}

void WINAPI on_event_record(PEVENT_RECORD event) {
    auto* state = static_cast<EtwTraceState*>(event->UserContext);
    if (state->callback_failure) {
        return;  // capture is ending; the rest of the buffer is not decoded
    }
    try {
        handle_event(*state, event);
    } catch (...) {
        state->callback_failure = std::current_exception();
    }
}

int32_t forward_message(const uint8_t* data, uint32_t length, void* session) {
    auto* owner = static_cast<EtwSession*>(session);
    if (owner->callback == nullptr) {
        return 0;
    }
    return owner->callback(data, length, owner->callback_context);
}

EtwSession::EtwSession() = default;

EtwSession::~EtwSession() {
    stop();
}

void EtwSession::set_callback(MessageCallback message_callback, void* context) {
    callback = message_callback;
    callback_context = context;
}

void EtwSession::start() {
    if (state != nullptr) {
        return;
    }
    state = std::make_unique<EtwTraceState>();
    state->message_callback = forward_message;
    state->message_context = this;
    int code = thread_start(&state->thread, run_trace, state.get());
    if (code != 0) {
        state->thread = nullptr;
        error::throw_failure<NetError>("pthread_create()", code);
    }
}

void EtwSession::stop() {
    if (state == nullptr) {
        return;
    }
    if (state->thread != nullptr) {
        state->stop = true;
        log_message("Closing ETW trace...");
        close_trace(*state);
        thread_join(state->thread);
        state->thread = nullptr;
    }
    state.reset();
}

}  // namespace tarn::net
