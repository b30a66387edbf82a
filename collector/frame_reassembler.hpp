#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tarn::collector {

// Cuts one connection's byte stream into frames: a 4-byte big-endian payload length, then the
// payload. Memory follows the bytes that arrived, never a length field: a length above the
// limit is refused as soon as its 4 bytes are in.
class FrameReassembler {
  public:
    enum class Status { need_more, frame, error };

    explicit FrameReassembler(uint32_t max_frame) : max_frame(max_frame) {}

    void feed(const uint8_t* data, size_t size);
    // On frame, payload and payload_size hold the next frame's payload; valid until the next
    // feed or next. After an error every call returns error again.
    Status next(const uint8_t*& payload, size_t& payload_size);

    const std::string& error() const { return error_text; }
    // Bytes received but not yet returned as a frame.
    size_t pending() const { return buffer.size() - offset; }

  private:
    uint32_t max_frame;
    std::vector<uint8_t> buffer;
    size_t offset = 0;
    std::string error_text;
};

}  // namespace tarn::collector
