// The ETW controller and consumer calls on Linux. A session is a dnstap listener where DNS
// servers write over Frame Streams; ProcessTrace turns every dnstap message about a query the
// server answered into a DNS Server packet event for the consumer's callback.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "config/settings.hpp"
#include "error/error.hpp"
#include "net/dns_server_provider.hpp"
#include "net/etw_api.hpp"
#include "net/standin/dnstap_event.hpp"
#include "net/standin/dnstap_listener_linux.hpp"
#include "net/standin/standin_event.hpp"
#include "support/log.hpp"
#include "support/statistics.hpp"

namespace {

using tarn::log_message;
using namespace tarn::net;

thread_local ULONG last_error = ERROR_SUCCESS;

using Clock = std::chrono::steady_clock;

// Dropped dnstap messages: the first of each kind is logged at once, later ones are summed up
// in at most one line a minute, so a broken writer cannot flood the log.
class DropLog {
  public:
    enum Kind : size_t { too_large = dnstap::outcome_count, kind_count };

    void count(size_t kind) {
        tarn::statistics().capture_drops.add();
        if (!seen[kind]) {
            seen[kind] = true;
            log_message("ERROR - dnstap message dropped: %s", text(kind));
        } else {
            ++unreported[kind];
        }
    }

    void summarize(Clock::time_point now) {
        if (now - last_summary <
            std::chrono::milliseconds(standin::dnstap_times().drop_summary_ms)) {
            return;
        }
        char line[256];
        size_t length = 0;
        uint64_t sum = 0;
        for (size_t kind = 0; kind < kind_count; ++kind) {
            if (unreported[kind] != 0) {
                length +=
                    append(line + length, sizeof line - length, "%s%s %llu", sum == 0 ? "" : ", ",
                           text(kind), static_cast<unsigned long long>(unreported[kind]));
                sum += unreported[kind];
                unreported[kind] = 0;
            }
        }
        last_summary = now;
        if (sum != 0) {
            log_message("ERROR - dnstap messages dropped: %llu since the last report (%s)",
                        static_cast<unsigned long long>(sum), line);
        }
    }

  private:
    static const char* text(size_t kind) {
        return kind == too_large ? "DNS message too large for an event"
                                 : dnstap::outcome_text(static_cast<dnstap::Outcome>(kind));
    }
    static size_t append(char* out, size_t room, const char* format, const char* separator,
                         const char* name, unsigned long long count) {
        int written = std::snprintf(out, room, format, separator, name, count);
        return written < 0 ? 0 : std::min(static_cast<size_t>(written), room - 1);
    }

    uint64_t unreported[kind_count] = {};
    bool seen[kind_count] = {};
    Clock::time_point last_summary = Clock::now();
};

struct Session final : dnstap::FrameConsumer {
    const char* on_frame(const uint8_t* data, uint32_t size) override;
    bool on_pause() override;

    std::string name;  // empty once the session is stopped
    TRACEHANDLE handle = 0;
    dnstap::Listener listener;
    std::atomic<bool> enabled{false};
    std::atomic<ULONG> log_file_mode{EVENT_TRACE_REAL_TIME_MODE};
    std::atomic<UCHAR> level{0};

    // What a query tells, under registry_mutex.
    ULONG buffer_size = 0;
    ULONG minimum_buffers = 0;
    ULONG maximum_buffers = 0;
    ULONG events_lost = 0;
    ULONG buffers_lost = 0;

    // The consumer, under registry_mutex.
    TRACEHANDLE consumer = 0;
    bool processing = false;
    bool close_requested = false;

    // Touched only by the thread inside ProcessTrace.
    EVENT_TRACE_LOGFILEA* logfile = nullptr;
    // Queries and responses name their properties differently; each kind keeps its own
    // payload, so its names are laid out once.
    standin::Payload payloads[2];
    dnstap::Message message;
    int64_t read_time = 0;  // the fall-back time of the frames of one read, 0 until needed
    dnstap::Event event;
    EVENT_RECORD record;
    DropLog drops;
};

std::mutex registry_mutex;
TRACEHANDLE next_handle = 1;
std::atomic<size_t> bad_closes{0};

// Sessions outlive every run and are never removed, so a running ProcessTrace can use its
// session without holding the lock.
std::vector<std::unique_ptr<Session>>& sessions() {
    static std::vector<std::unique_ptr<Session>> registry;
    return registry;
}

Session* find_by_name(const char* name) {
    for (auto& session : sessions()) {
        if (session->name == name) {
            return session.get();
        }
    }
    return nullptr;
}

Session* find_by_handle(TRACEHANDLE handle) {
    for (auto& session : sessions()) {
        if (session->handle == handle) {
            return session.get();
        }
    }
    return nullptr;
}

Session* find_by_consumer(TRACEHANDLE handle) {
    if (handle == 0 || handle == INVALID_PROCESSTRACE_HANDLE) {
        return nullptr;
    }
    for (auto& session : sessions()) {
        if (session->consumer == handle) {
            return session.get();
        }
    }
    return nullptr;
}

int64_t current_filetime() {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<int64_t>(now.tv_sec) * filetime_units_per_second + now.tv_nsec / 100 +
           unix_epoch_filetime;
}

// One dnstap message: an event for the consumer, ignored, or dropped and counted.
const char* Session::on_frame(const uint8_t* data, uint32_t size) {
    if (!dnstap::decode(data, size, message)) {
        return "malformed dnstap message";
    }
    UCHAR wanted_level = level;
    if (!enabled || (log_file_mode & EVENT_TRACE_REAL_TIME_MODE) == 0 ||
        (wanted_level != 0 && wanted_level < TRACE_LEVEL_INFORMATION)) {
        return nullptr;
    }
    if (read_time == 0) {
        read_time = current_filetime();
    }
    dnstap::Outcome outcome = dnstap::to_event(message, read_time, event);
    if (outcome != dnstap::Outcome::event) {
        if (outcome != dnstap::Outcome::ignored) {
            drops.count(static_cast<size_t>(outcome));
        }
        return nullptr;
    }
    standin::Payload& payload = payloads[event.id == query_received_event ? 0 : 1];
    if (!standin::encode_payload(event.properties, event.property_count, payload)) {
        drops.count(DropLog::too_large);
        return nullptr;
    }
    standin::fill_event_record(record, dns_server_provider, event.id, event.timestamp, payload,
                               logfile->Context);
    logfile->CurrentTime = event.timestamp;
    logfile->EventRecordCallback(&record);
    return nullptr;
}

// The consumer's BufferCallback: FALSE ends processing.
bool Session::on_pause() {
    read_time = 0;
    drops.summarize(Clock::now());
    ++logfile->BuffersRead;
    return logfile->BufferCallback == nullptr || logfile->BufferCallback(logfile) != FALSE;
}

// The caller's failure line names neither the path nor the call; this one does.
ULONG report(const std::string& path, dnstap::SocketFailure failed) {
    log_message("ERROR - dnstap socket %s: %s() failed: %s", path.c_str(), failed.call,
                tarn::error::system_error_text(failed.code).c_str());
    return static_cast<ULONG>(failed.code);
}

// What ETW writes back into the properties block of a control call.
void describe(const Session& session, EVENT_TRACE_PROPERTIES& properties) {
    properties.Wnode.HistoricalContext = session.handle;
    properties.BufferSize = session.buffer_size;
    properties.MinimumBuffers = session.minimum_buffers;
    properties.MaximumBuffers = session.maximum_buffers;
    properties.LogFileMode = session.log_file_mode;
    properties.EventsLost = session.events_lost;
    properties.RealTimeBuffersLost = session.buffers_lost;
}

// Like logman stop: the name is free again, a running consumer's ProcessTrace returns, and
// its handle stays open until CloseTrace.
void stop_session(Session& session) {
    session.name.clear();
    session.enabled = false;
    if (session.processing) {
        session.listener.interrupt();
    } else {
        session.listener.close();
    }
}

}  // namespace

tarn::net::standin::InjectedFailures& tarn::net::standin::injected_failures() {
    static InjectedFailures failures;
    return failures;
}

size_t tarn::net::standin::open_trace_handles() {
    std::lock_guard<std::mutex> lock(registry_mutex);
    size_t open = 0;
    for (auto& session : sessions()) {
        open += session->consumer != 0 ? 1 : 0;
    }
    return open;
}

size_t tarn::net::standin::bad_trace_closes() {
    return bad_closes;
}

void tarn::net::standin::lose(const char* session_name, ULONG events, ULONG buffers) {
    std::lock_guard<std::mutex> lock(registry_mutex);
    if (Session* session = find_by_name(session_name)) {
        session->events_lost += events;
        session->buffers_lost += buffers;
    }
}

tarn::net::standin::DnstapTimes& tarn::net::standin::dnstap_times() {
    static DnstapTimes times;
    return times;
}

ULONG GetLastError() {
    return last_error;
}

void SetLastError(ULONG code) {
    last_error = code;
}

ULONG StartTraceA(PTRACEHANDLE trace_handle, LPCSTR instance_name,
                  PEVENT_TRACE_PROPERTIES properties) {
    if (trace_handle == nullptr || instance_name == nullptr || properties == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    size_t name_size = std::strlen(instance_name) + 1;
    ULONG block_size = properties->Wnode.BufferSize;
    ULONG name_offset = properties->LoggerNameOffset;
    if (name_size == 1 || block_size < sizeof(EVENT_TRACE_PROPERTIES) + name_size ||
        name_offset < sizeof(EVENT_TRACE_PROPERTIES) || name_offset > block_size - name_size ||
        (properties->Wnode.Flags & WNODE_FLAG_TRACED_GUID) == 0 ||
        (properties->LogFileMode & EVENT_TRACE_REAL_TIME_MODE) == 0) {
        return ERROR_INVALID_PARAMETER;
    }

    std::lock_guard<std::mutex> lock(registry_mutex);
    if (find_by_name(instance_name) != nullptr) {
        return ERROR_ALREADY_EXISTS;
    }
    auto session = std::make_unique<Session>();
    const std::string path = tarn::config::dnstap_socket;
    dnstap::SocketFailure failed = session->listener.open(path);
    if (failed.call != nullptr) {
        return report(path, failed);
    }
    session->name = instance_name;
    session->handle = next_handle++;
    session->buffer_size = properties->BufferSize;
    session->minimum_buffers = properties->MinimumBuffers;
    session->maximum_buffers = properties->MaximumBuffers;
    session->log_file_mode = properties->LogFileMode;
    *trace_handle = session->handle;
    // Like ETW, the block gets the session name at LoggerNameOffset.
    std::memmove(reinterpret_cast<char*>(properties) + name_offset, instance_name, name_size);
    sessions().push_back(std::move(session));
    return ERROR_SUCCESS;
}

// Query, stop and update; an update takes what ETW lets a running session change: its largest
// number of buffers and its mode (tracelog -update -f moves it to a file, real time off).
ULONG ControlTraceA(TRACEHANDLE, LPCSTR instance_name, PEVENT_TRACE_PROPERTIES properties,
                    ULONG control_code) {
    if (instance_name == nullptr || properties == nullptr ||
        control_code > EVENT_TRACE_CONTROL_UPDATE) {
        return ERROR_INVALID_PARAMETER;
    }
    std::lock_guard<std::mutex> lock(registry_mutex);
    Session* session = find_by_name(instance_name);
    if (session == nullptr) {
        return ERROR_NOT_FOUND;
    }
    if (control_code == EVENT_TRACE_CONTROL_STOP) {
        stop_session(*session);
    } else if (control_code == EVENT_TRACE_CONTROL_UPDATE) {
        if (ULONG injected = standin::injected_failures().control_update.exchange(0)) {
            return injected;
        }
        session->log_file_mode = properties->LogFileMode;
        if (properties->MaximumBuffers != 0) {
            session->maximum_buffers = properties->MaximumBuffers;
        }
    }
    describe(*session, *properties);
    return ERROR_SUCCESS;
}

ULONG EnableTraceEx2(TRACEHANDLE trace_handle, LPCGUID provider_id, ULONG control_code, UCHAR level,
                     ULONGLONG, ULONGLONG, ULONG, PENABLE_TRACE_PARAMETERS) {
    if (ULONG injected = standin::injected_failures().enable_trace.exchange(0)) {
        return injected;
    }
    std::lock_guard<std::mutex> lock(registry_mutex);
    Session* session = find_by_handle(trace_handle);
    if (session == nullptr) {
        return ERROR_INVALID_HANDLE;
    }
    if (provider_id == nullptr || control_code > 2) {
        return ERROR_INVALID_PARAMETER;
    }
    // Other providers never write to this session: enabling them changes nothing.
    if (*provider_id == dns_server_provider && control_code != 2) {
        session->level = level;
        session->enabled = control_code == EVENT_CONTROL_CODE_ENABLE_PROVIDER;
    }
    return ERROR_SUCCESS;
}

// The sessions on which the DNS Server provider is enabled, as ETW lists them for a provider
// that no process registered: one instance, flagged as enabled before registration.
ULONG EnumerateTraceGuidsEx(TRACE_QUERY_INFO_CLASS info_class, PVOID in_buffer, ULONG in_size,
                            PVOID out_buffer, ULONG out_size, ULONG* return_length) {
    if (info_class != TraceGuidQueryInfo || in_buffer == nullptr || in_size != sizeof(GUID) ||
        return_length == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    std::vector<USHORT> loggers;
    {
        std::lock_guard<std::mutex> lock(registry_mutex);
        for (auto& session : sessions()) {
            if (!session->name.empty() && session->enabled &&
                *static_cast<const GUID*>(in_buffer) == dns_server_provider) {
                loggers.push_back(static_cast<USHORT>(session->handle));
            }
        }
    }
    if (loggers.empty()) {
        return ERROR_WMI_GUID_NOT_FOUND;
    }
    *return_length =
        static_cast<ULONG>(sizeof(TRACE_GUID_INFO) + sizeof(TRACE_PROVIDER_INSTANCE_INFO) +
                           loggers.size() * sizeof(TRACE_ENABLE_INFO));
    if (out_size < *return_length) {
        return ERROR_INSUFFICIENT_BUFFER;
    }
    auto* out = static_cast<uint8_t*>(out_buffer);
    const TRACE_GUID_INFO header{1, 0};
    const TRACE_PROVIDER_INSTANCE_INFO instance{0, static_cast<ULONG>(loggers.size()), 0,
                                                TRACE_PROVIDER_FLAG_PRE_ENABLE};
    std::memcpy(out, &header, sizeof header);
    std::memcpy(out + sizeof header, &instance, sizeof instance);
    out += sizeof header + sizeof instance;
    for (USHORT logger : loggers) {
        TRACE_ENABLE_INFO info{};
        info.IsEnabled = 1;
        info.Level = TRACE_LEVEL_INFORMATION;
        info.LoggerId = logger;
        std::memcpy(out, &info, sizeof info);
        out += sizeof info;
    }
    return ERROR_SUCCESS;
}

TRACEHANDLE OpenTraceA(PEVENT_TRACE_LOGFILEA logfile) {
    constexpr ULONG wanted = PROCESS_TRACE_MODE_REAL_TIME | PROCESS_TRACE_MODE_EVENT_RECORD;
    if (logfile == nullptr || (logfile->ProcessTraceMode & wanted) != wanted ||
        logfile->EventRecordCallback == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_PROCESSTRACE_HANDLE;
    }
    std::lock_guard<std::mutex> lock(registry_mutex);
    Session* session = logfile->LoggerName == nullptr ? nullptr : find_by_name(logfile->LoggerName);
    if (session == nullptr) {
        SetLastError(ERROR_NOT_FOUND);
        return INVALID_PROCESSTRACE_HANDLE;
    }
    if (session->consumer != 0) {
        SetLastError(ERROR_BUSY);
        return INVALID_PROCESSTRACE_HANDLE;
    }
    session->consumer = next_handle++;
    session->logfile = logfile;
    session->close_requested = false;
    return session->consumer;
}

ULONG ProcessTrace(PTRACEHANDLE handle_array, ULONG handle_count, LPFILETIME, LPFILETIME) {
    if (handle_array == nullptr || handle_count != 1) {
        return ERROR_INVALID_PARAMETER;
    }
    if (ULONG injected = standin::injected_failures().process_trace.exchange(0)) {
        return injected;
    }
    Session* session;
    {
        std::lock_guard<std::mutex> lock(registry_mutex);
        session = find_by_consumer(handle_array[0]);
        if (session == nullptr || session->close_requested) {
            return ERROR_INVALID_HANDLE;
        }
        if (session->processing) {
            return ERROR_BUSY;
        }
        if (session->name.empty()) {
            return ERROR_SUCCESS;  // stopped since it was opened: nothing more comes
        }
        session->processing = true;
    }
    // Ends the run however it ends, exceptions from the callbacks included.
    struct Finish {
        Session& s;
        ~Finish() {
            std::lock_guard<std::mutex> lock(registry_mutex);
            s.processing = false;
            if (s.name.empty()) {
                s.listener.close();  // stopped while it ran
            }
            if (s.close_requested) {
                s.consumer = 0;
                s.logfile = nullptr;
                s.close_requested = false;
                s.listener.clear_interrupt();  // if serve() ended before it saw it
            }
        }
    } finish{*session};
    return static_cast<ULONG>(session->listener.serve(*session));
}

ULONG CloseTrace(TRACEHANDLE trace_handle) {
    std::lock_guard<std::mutex> lock(registry_mutex);
    Session* session = find_by_consumer(trace_handle);
    if (session == nullptr || session->close_requested) {
        ++bad_closes;
        return ERROR_INVALID_HANDLE;
    }
    if (session->processing) {
        session->close_requested = true;
        session->listener.interrupt();
    } else {
        session->consumer = 0;
        session->logfile = nullptr;
    }
    return ERROR_SUCCESS;
}
