#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <vector>

#include "config/settings.hpp"
#include "error/error.hpp"
#include "net/etw_trace_state.hpp"
#include "support/back_off.hpp"
#include "support/log.hpp"
#include "support/statistics.hpp"

namespace tarn::net {

namespace {

constexpr char session_name[] = "sabrel-agent";
constexpr GUID session_guid = {
    0x01A1C6BA, 0x3C9C, 0x4C71, {0xB8, 0xBD, 0x54, 0x49, 0x41, 0xE1, 0xA0, 0x9E}};
constexpr ULONG properties_size = sizeof(EVENT_TRACE_PROPERTIES) + sizeof session_name;
constexpr ULONG independent_mode = EVENT_TRACE_INDEPENDENT_SESSION_MODE;

// Between the trace thread and the watching thread.
std::atomic<bool> processing{false};        // the trace thread is inside ProcessTrace
std::atomic<bool> real_time_seen{true};     // at the last look, or when processing began
std::atomic<bool> remaking{false};          // the watch stopped the session to have it made again
std::atomic<uint64_t> sessions_made{0};     // by StartTrace in this process
std::atomic<bool> independent_known{true};  // false once Windows refused the mode

}  // namespace

// Independent of other sessions, so a full one elsewhere (the DNS Server's own analytic log)
// cannot keep events from this one.
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
    properties->LogFileMode =
        EVENT_TRACE_REAL_TIME_MODE | (independent_known ? independent_mode : 0);
    properties->FlushTimer = 1;
    properties->LoggerNameOffset = sizeof(EVENT_TRACE_PROPERTIES);
    std::memcpy(static_cast<char*>(block.get()) + sizeof(EVENT_TRACE_PROPERTIES), session_name,
                sizeof session_name);
    return properties;
}

namespace {

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

// ETW may raise the least number of buffers (to two a processor), never lower it.
bool kept_own(const config::EtwBuffers& asked, const EVENT_TRACE_PROPERTIES& now) {
    return (asked.size_kb != 0 && asked.size_kb != now.BufferSize) ||
           now.MinimumBuffers < asked.minimum;
}

// ETW lets a running real-time session take a new largest number of buffers, nothing else of
// its buffers: the rest waits until the session is made again, and the log says so.
void adapt_buffers(ControlBlock& running) {
    const config::EtwBuffers& asked = config::etw_buffers;
    EVENT_TRACE_PROPERTIES& now = running.properties;
    if (asked.maximum != 0 && asked.maximum != now.MaximumBuffers) {
        ControlBlock update = running;  // as queried: the same mode, no log file to switch to
        update.properties.MaximumBuffers = asked.maximum;
        update.properties.LogFileNameOffset = 0;
        ULONG updated =
            ControlTraceA(0, session_name, &update.properties, EVENT_TRACE_CONTROL_UPDATE);
        if (updated == ERROR_SUCCESS) {
            now.MaximumBuffers = update.properties.MaximumBuffers;
            log_message("ETW trace with name %s now has at most %u buffers", session_name,
                        static_cast<unsigned>(now.MaximumBuffers));
        } else {
            log_message(
                "ERROR - ETW trace with name %s keeps at most %u buffers: ControlTrace() "
                "failed: %s",
                session_name, static_cast<unsigned>(now.MaximumBuffers),
                error::system_error_text(updated).c_str());
        }
    }
    if (kept_own(asked, now)) {
        log_message(
            "ETW trace with name %s keeps its buffers (%u KB, %u to %u) until it is made "
            "again",
            session_name, static_cast<unsigned>(now.BufferSize),
            static_cast<unsigned>(now.MinimumBuffers), static_cast<unsigned>(now.MaximumBuffers));
    }
}

ULONG restore_real_time(ControlBlock& running) {
    ControlBlock update = running;
    update.properties.LogFileMode |= EVENT_TRACE_REAL_TIME_MODE;
    update.properties.LogFileNameOffset = 0;  // a log file someone added stays theirs
    ULONG updated = ControlTraceA(0, session_name, &update.properties, EVENT_TRACE_CONTROL_UPDATE);
    if (updated == ERROR_SUCCESS) {
        running.properties.LogFileMode = update.properties.LogFileMode;
    }
    return updated;
}

bool real_time(const ControlBlock& running) {
    return (running.properties.LogFileMode & EVENT_TRACE_REAL_TIME_MODE) != 0;
}

// A session found running must be real-time; it may be shared by someone's tooling, so it is
// never made again for the independent-session mode alone.
void check_found_session(ControlBlock& running) {
    if (!real_time(running)) {
        if (ULONG updated = restore_real_time(running)) {
            error::throw_failure<NetError>("ControlTrace()", updated);
        }
        log_message("ERROR - ETW trace with name %s was not in real-time mode: real time restored",
                    session_name);
    }
    if (independent_known && (running.properties.LogFileMode & independent_mode) == 0) {
        log_message(
            "ETW trace with name %s runs without independent-session mode: a full session "
            "elsewhere can cost it events until it is made again (logman stop %s -ets)",
            session_name, session_name);
    }
}

// The session found running may come from an earlier run, or from an attempt whose enabling
// failed, or lack the provider for any other reason: it is enabled again either way.
void attach_session() {
    ControlBlock running{};
    ULONG queried = control_session(running, EVENT_TRACE_CONTROL_QUERY);
    if (queried != ERROR_SUCCESS) {
        error::throw_failure<NetError>("ControlTrace()", queried);
    }
    check_found_session(running);
    adapt_buffers(running);
    enable_provider(running.properties.Wnode.HistoricalContext);
}

void start_session(EVENT_TRACE_PROPERTIES* properties) {
    TRACEHANDLE session_handle = 0;
    ULONG started = StartTraceA(&session_handle, session_name, properties);
    if (started == ERROR_INVALID_PARAMETER && (properties->LogFileMode & independent_mode) != 0) {
        independent_known = false;  // Windows before 8.1
        properties->LogFileMode &= ~independent_mode;
        log_message(
            "ETW trace with name %s is made without independent-session mode, which "
            "this Windows lacks",
            session_name);
        started = StartTraceA(&session_handle, session_name, properties);
    }
    if (started == ERROR_ALREADY_EXISTS) {
        log_message("ETW trace with name %s already started!", session_name);
        attach_session();
    } else if (started != ERROR_SUCCESS) {
        error::throw_failure<NetError>("StartTrace()", started);
    } else {
        sessions_made.fetch_add(1);
        remaking = false;  // a stop for remaking that found no capture to end
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
    real_time_seen = true;  // made or found so
    processing = true;
    ULONG processed = ProcessTrace(handles, 1, nullptr, nullptr);
    processing = false;
    if (state.callback_failure) {
        std::rethrow_exception(state.callback_failure);
    }
    // Closed by a stop between the check above and the call: not a failure.
    if (processed != ERROR_SUCCESS && !state.stop) {
        error::throw_failure<NetError>("ProcessTrace()", processed);
    }
}

// Processing that ends before a stop means the session ended: stopped from outside, or by
// the watch to have it made again (which said so itself).
bool ended_under_capture(const EtwTraceState& state) {
    if (state.stop) {
        return false;
    }
    if (!remaking.exchange(false)) {
        statistics().outside_stops.add();
        log_message("ERROR - ETW trace with name %s was stopped from outside: starting it again",
                    session_name);
    }
    return true;
}

// True when the session ended under a capture that had run for a while: the next attempt
// starts at once, and a session that keeps ending at once still gets the pause.
bool trace_steps(EtwTraceState& state, PropertiesBlock& block) {
    log_message("Starting ETW trace...");
    start_session(allocate_properties(block));
    EVENT_TRACE_LOGFILEA logfile;
    TRACEHANDLE handle = open_trace(state, logfile);
    const auto begin = std::chrono::steady_clock::now();
    process_trace(state, handle);
    const bool ended = ended_under_capture(state);
    log_message("Closing ETW trace...");
    close_trace(state);
    log_message("ETW session finished");
    return ended && std::chrono::steady_clock::now() - begin >= std::chrono::seconds(1);
}

// ETW's counts are 32-bit and start again from 0 in a session made anew: each look adds what
// they grew by since the last look at the same session, across a wrap too. A count that went
// down from below half the range is a session someone else made anew: all of it is new.
void add_growth(ULONG now, ULONG& last, Counter& total) {
    const bool anew = now < last && last < 0x80000000u;
    total.add(anew ? now : static_cast<ULONG>(now - last));
    last = now;
}

void take_losses(const EVENT_TRACE_PROPERTIES& now) {
    static uint64_t session = ~uint64_t{0};
    static ULONG events = 0, buffers = 0;
    if (sessions_made != session) {
        session = sessions_made;
        events = buffers = 0;
    }
    add_growth(now.EventsLost, events, statistics().etw_events_lost);
    add_growth(now.RealTimeBuffersLost, buffers, statistics().etw_buffers_lost);
}

void repaired(const char* what) {
    statistics().session_repairs.add();
    log_message("ERROR - ETW trace with name %s %s", session_name, what);
}

// False when the session was stopped to be made again: nothing more to look at.
bool watch_mode(ControlBlock& running) {
    if (real_time(running)) {
        return true;
    }
    const ULONG updated = restore_real_time(running);
    if (updated == ERROR_SUCCESS) {
        repaired("is no longer in real-time mode: real time restored");
        return true;
    }
    remaking = true;
    ControlBlock stop{};
    const ULONG stopped = control_session(stop, EVENT_TRACE_CONTROL_STOP);
    if (stopped == ERROR_SUCCESS) {
        repaired(("is no longer in real-time mode: it is made again (real time could not be "
                  "restored: ControlTrace() failed: " +
                  error::system_error_text(updated) + ")")
                     .c_str());
        return false;
    }
    remaking = false;
    log_message(
        "ERROR - ETW trace with name %s is no longer in real-time mode and could not be "
        "put right: ControlTrace() failed: %s; trying again at the next look",
        session_name, error::system_error_text(stopped).c_str());
    return true;
}

template <typename Part>
bool read_part(const std::vector<uint8_t>& list, size_t offset, Part& part) {
    if (offset > list.size() || list.size() - offset < sizeof part) {
        return false;
    }
    std::memcpy(&part, list.data() + offset, sizeof part);
    return true;
}

// Whether one of the provider's instances in ETW's list has it enabled for the session.
bool lists_session(const std::vector<uint8_t>& list, TRACEHANDLE session) {
    TRACE_GUID_INFO header;
    size_t offset = sizeof header;
    TRACE_PROVIDER_INSTANCE_INFO instance;
    for (ULONG i = 0; read_part(list, 0, header) && i < header.InstanceCount &&
                      read_part(list, offset, instance);
         ++i, offset += instance.NextOffset) {
        for (ULONG j = 0; j < instance.EnableCount; ++j) {
            TRACE_ENABLE_INFO enable;
            if (read_part(list, offset + sizeof instance + j * sizeof enable, enable) &&
                enable.IsEnabled != 0 && enable.LoggerId == static_cast<USHORT>(session)) {
                return true;
            }
        }
        if (instance.NextOffset == 0) {
            break;
        }
    }
    return false;
}

// ETW's list of the sessions that enabled the DNS Server provider, empty when none did; false
// when ETW cannot tell.
bool provider_sessions(std::vector<uint8_t>& list) {
    GUID provider = dns_server_provider;
    ULONG size = 4096, listed;
    do {
        list.resize(size);
        listed = EnumerateTraceGuidsEx(TraceGuidQueryInfo, &provider, sizeof provider, list.data(),
                                       static_cast<ULONG>(list.size()), &size);
    } while (listed == ERROR_INSUFFICIENT_BUFFER && size > list.size());
    list.resize(listed == ERROR_SUCCESS ? size : 0);
    return listed == ERROR_SUCCESS || listed == ERROR_NOT_FOUND ||
           listed == ERROR_WMI_GUID_NOT_FOUND;
}

void watch_provider(TRACEHANDLE session) {
    std::vector<uint8_t> list;
    if (!provider_sessions(list) || lists_session(list, session)) {
        return;
    }
    try {
        enable_provider(session);
        repaired("lost the DNS Server provider: enabled again");
    } catch (const std::exception& failure) {
        log_message(
            "ERROR - ETW trace with name %s lost the DNS Server provider and could not "
            "enable it again: %s; trying again at the next look",
            session_name, failure.what());
    }
}

}  // namespace

bool capture_running() {
    return processing && real_time_seen;
}

bool watch_session() {
    static std::mutex one_look;
    std::lock_guard<std::mutex> lock(one_look);
    ControlBlock running{};
    if (control_session(running, EVENT_TRACE_CONTROL_QUERY) != ERROR_SUCCESS) {
        return false;
    }
    take_losses(running.properties);
    // Outside the processing loop the trace thread is making or attaching the session itself.
    if (processing && watch_mode(running)) {
        watch_provider(running.properties.Wnode.HistoricalContext);
    }
    real_time_seen = real_time(running);
    return true;
}

// Every failure ends the attempt with one line, and the handle it opened is closed on every path.
bool trace_once(EtwTraceState& state) {
    PropertiesBlock block;
    state.callback_failure = nullptr;
    bool again_at_once = false;
    try {
        again_at_once = trace_steps(state, block);
    } catch (const std::exception& failure) {
        log_message("ERROR - ETW session failed: %s", failure.what());
    }
    close_trace(state);
    return again_at_once;
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
    for (bool at_once = trace_once(state); !state.stop && (at_once || wait_for_retry(state.stop));
         at_once = trace_once(state)) {
    }
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
