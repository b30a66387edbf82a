#include "collector/frame_reassembler.hpp"

#include "support/byte_order.hpp"

namespace tarn::collector {

void FrameReassembler::feed(const uint8_t* data, size_t size) {
    if (!error_text.empty() || size == 0) {
        return;
    }
    // Drop what was handed out before; keeps the buffer at about one frame plus one read.
    if (offset > 0) {
        buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(offset));
        offset = 0;
    }
    buffer.insert(buffer.end(), data, data + size);
}

FrameReassembler::Status FrameReassembler::next(const uint8_t*& payload, size_t& payload_size) {
    if (!error_text.empty()) {
        return Status::error;
    }
    if (pending() < 4) {
        return Status::need_more;
    }
    const uint8_t* p = buffer.data() + offset;
    uint32_t length = load_be32(p);
    if (length == 0) {
        error_text = "empty frame (length 0)";
        return Status::error;
    }
    if (length > max_frame) {
        error_text = "frame length " + std::to_string(length) + " exceeds the limit of " +
                     std::to_string(max_frame) + " bytes";
        return Status::error;
    }
    if (pending() - 4 < length) {
        return Status::need_more;
    }
    payload = p + 4;
    payload_size = length;
    offset += 4 + size_t{length};
    return Status::frame;
}

}  // namespace tarn::collector
