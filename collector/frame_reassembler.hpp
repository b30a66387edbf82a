#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tarn::collector {

// Cuts one connection's byte stream into frames: a 4-byte big-endian payload length, then the
// payload. Frames whole in a read are handed out where they lie; only a frame cut by the end of
// a read is copied, so a connection holds at most one unfinished frame. Memory follows the bytes
// that arrived, never a length field: a length above the limit is refused as soon as its 4 bytes
// are in.
class FrameReassembler {
  public:
    enum class Status { need_more, frame, error };

    explicit FrameReassembler(uint32_t max_frame) : max_frame(max_frame) {}

    // data stays valid until next has returned need_more (or error).
    void feed(const uint8_t* data, size_t size);
    // On frame, payload and payload_size hold the next frame's payload; valid until the next
    // feed or next. After an error every call returns error again.
    Status next(const uint8_t*& payload, size_t& payload_size);

    const std::string& error() const { return error_text; }
    // Bytes received but not yet returned as a frame.
    size_t pending() const { return (handed_out ? 0 : held.size()) + (input_size - input_at); }

  private:
    // Moves up to count bytes of the input into held.
    void hold(size_t count);
    // The length of the frame that starts at header; false (and the error set) when it is 0 or
    // above the limit.
    bool frame_length(const uint8_t* header, uint32_t& length);

    uint32_t max_frame;
    std::vector<uint8_t> held;  // the start of a frame that did not end in its read
    bool handed_out = false;    // held is a whole frame, handed out by the last next
    const uint8_t* input = nullptr;
    size_t input_size = 0;
    size_t input_at = 0;
    std::string error_text;
};

}  // namespace tarn::collector
