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

// The periodic look at the session, from a thread other than the trace thread: what ETW lost
// is added to the figures, and while capture runs, a session changed under the agent (no
// longer real-time, the DNS Server provider no longer enabled on it) is put right, with an
// ERROR line either way. False when there is no session to look at.
bool watch_session();

// Whether the trace thread is in its processing loop on a session that was real-time at the
// last look.
bool capture_running();

}  // namespace tarn::net
