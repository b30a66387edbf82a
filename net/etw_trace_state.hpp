#pragma once

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <memory>

#include "net/dns_event_decoder.hpp"
#include "net/dns_server_provider.hpp"
#include "net/etw_api.hpp"
#include "net/etw_session.hpp"
#include "support/threads.hpp"

namespace tarn::net {

// One run of the trace thread; shared by the owning thread and the trace thread.
struct EtwTraceState {
    std::atomic<TRACEHANDLE> trace_handle{INVALID_PROCESSTRACE_HANDLE};
    std::atomic<bool> stop{false};
    Thread thread = nullptr;
    MessageCallback message_callback = nullptr;
    void* message_context = nullptr;

    // Decode state, touched only by the trace thread.
    GrowingBuffer event_info;
    GrowingBuffer device_ip;
    int32_t device_ip_length = 0;
    GrowingBuffer server_ip;
    int32_t server_ip_length = 0;
    uint8_t is_tcp = 0;
    GrowingBuffer message;
    int32_t message_length = 0;
    int64_t epoch_offset = unix_epoch_filetime;

    // An exception from the message callback, carried out of the platform's processing loop
    // instead of unwinding through it.
    std::exception_ptr callback_failure;
};

struct FreeBlock {
    void operator()(void* block) const { std::free(block); }
};
using PropertiesBlock = std::unique_ptr<void, FreeBlock>;

// The properties StartTrace gets for the session, its name directly behind them.
EVENT_TRACE_PROPERTIES* allocate_properties(PropertiesBlock& block);

int32_t forward_message(const uint8_t* data, uint32_t length, void* session);
uint32_t run_trace(void* state);
// One attempt at capture, from starting the session to the end of processing; true when the
// next one should start at once (the session ended under a running capture).
bool trace_once(EtwTraceState& state);
// Closes the consumer handle once, whoever comes first: the trace thread at the end of an
// attempt, or a stop that makes ProcessTrace return.
void close_trace(EtwTraceState& state);
ULONG WINAPI keep_processing(PEVENT_TRACE_LOGFILEA logfile);
void WINAPI on_event_record(PEVENT_RECORD event);

}  // namespace tarn::net
