#pragma once

#include <cstdint>
#include <memory>

namespace tarn::net {

// How capture hands a finished record over; the bytes are valid only during the call.
using MessageCallback = int32_t (*)(const uint8_t* data, uint32_t length, void* context);

struct EtwTraceState;

// The real-time trace session "sabrel-agent" on the DNS Server provider, consumed on a trace
// thread of its own.
class EtwSession {
  public:
    EtwSession();
    ~EtwSession();
    EtwSession(const EtwSession&) = delete;
    EtwSession& operator=(const EtwSession&) = delete;

    void set_callback(MessageCallback callback, void* context);
    // Throws NetError when the trace thread cannot be created; a second start is a no-op.
    void start();
    // Closes the trace and joins the thread; harmless before start and when repeated.
    void stop();

  private:
    friend int32_t forward_message(const uint8_t* data, uint32_t length, void* session);

    std::unique_ptr<EtwTraceState> state;
    MessageCallback callback = nullptr;
    void* callback_context = nullptr;
};

// What ETW itself lost in the session since it started (EventsLost and RealTimeBuffersLost of
// a ControlTrace query); false when the session cannot be queried.
bool query_session_losses(uint64_t& events_lost, uint64_t& buffers_lost);

}  // namespace tarn::net
