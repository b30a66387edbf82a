#pragma once

// The reading side of a Frame Streams connection (the DNS server writes dnstap through it):
// frame reassembly over arbitrary cuts of the byte stream, the bidirectional handshake
// (READY -> ACCEPT, START, data, STOP -> FINISH) and the unidirectional one (START first).
// A peer can make the reader hold at most one bounded frame, and only as its bytes arrive.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "support/log.hpp"

namespace tarn::net::frame_streams {

inline constexpr char dnstap_content_type[] = "protobuf:dnstap.Dnstap";
inline constexpr uint32_t max_data_frame = 256 * 1024;
inline constexpr uint32_t max_control_frame = 512;
inline constexpr uint32_t max_content_type = 256;

enum ControlType : uint32_t {
    control_accept = 1,
    control_start = 2,
    control_stop = 3,
    control_ready = 4,
    control_finish = 5,
};
inline constexpr uint32_t field_content_type = 1;

class FrameHandler {
  public:
    // One data frame; nullptr to go on, or the (static) reason to drop the connection.
    virtual const char* on_data_frame(const uint8_t* data, uint32_t size) = 0;
    // Bytes for the writer (ACCEPT, FINISH); false when they cannot be sent.
    virtual bool on_reply(const uint8_t* data, size_t size) = 0;

  protected:
    ~FrameHandler() = default;
};

class Reader {
  public:
    enum class State { waiting, accepted, started, finished, failed };

    // Consumes the next bytes of the stream. Stops at the end of the stream (after STOP the
    // rest is ignored) and at the first protocol failure. An exception from the handler leaves
    // the reader failed: the stream position is lost.
    void feed(const uint8_t* data, size_t size, FrameHandler& handler);

    State state() const { return current; }
    bool done() const { return current == State::finished || current == State::failed; }
    bool bidirectional() const { return handshake; }
    // Why the reader failed, for the log.
    const char* failure() const { return reason; }
    // Bytes held of an incomplete frame, and the memory reserved for them.
    size_t held() const { return pending.size(); }
    size_t held_capacity() const { return pending.capacity(); }

  private:
    bool unit_size(const uint8_t* data, size_t size, size_t& total, size_t& header);
    void hold(const uint8_t* data, size_t size, size_t limit);
    void process(const uint8_t* unit, size_t size, FrameHandler& handler);
    void control(const uint8_t* frame, size_t size, FrameHandler& handler);
    void on_ready(bool offered, FrameHandler& handler);
    void on_start(bool typed, bool offered);
    void on_stop(FrameHandler& handler);
    void fail(const char* format, ...) TARN_PRINTF_FORMAT(2, 3);

    State current = State::waiting;
    bool handshake = false;
    std::vector<uint8_t> pending;
    char reason[96] = "";
};

// A control frame with its escape and length: type, then an optional content type field.
size_t encode_control(ControlType type, const char* content_type, uint8_t* out, size_t capacity);

}  // namespace tarn::net::frame_streams
