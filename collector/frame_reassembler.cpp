#include "collector/frame_reassembler.hpp"

#include <algorithm>

#include "sensor/wire_format.hpp"
#include "support/byte_order.hpp"

namespace tarn::collector {

namespace {

constexpr size_t header_size = sensor::wire::frame_prefix_size;

}  // namespace

void FrameReassembler::feed(const uint8_t* data, size_t size) {
    input = data;
    input_size = size;
    input_at = 0;
}

void FrameReassembler::hold(size_t count) {
    count = std::min(count, input_size - input_at);
    held.insert(held.end(), input + input_at, input + input_at + count);
    input_at += count;
}

bool FrameReassembler::frame_length(const uint8_t* header, uint32_t& length) {
    length = load_be32(header);
    if (length == 0) {
        error_text = "empty frame (length 0)";
    } else if (length > max_frame) {
        error_text = "frame length " + std::to_string(length) + " exceeds the limit of " +
                     std::to_string(max_frame) + " bytes";
    }
    return error_text.empty();
}

FrameReassembler::Status FrameReassembler::next(const uint8_t*& payload, size_t& payload_size) {
    if (!error_text.empty()) {
        return Status::error;
    }
    if (handed_out) {
        held.clear();
        handed_out = false;
    }
    uint32_t length = 0;
    if (!held.empty()) {  // finish the frame an earlier read began
        hold(header_size - std::min(held.size(), header_size));
        if (held.size() < header_size) {
            return Status::need_more;
        }
        if (!frame_length(held.data(), length)) {
            return Status::error;
        }
        hold(header_size + length - held.size());
        if (held.size() < header_size + length) {
            return Status::need_more;
        }
        payload = held.data() + header_size;
        payload_size = length;
        handed_out = true;
        return Status::frame;
    }
    const size_t left = input_size - input_at;
    if (left >= header_size && !frame_length(input + input_at, length)) {
        return Status::error;
    }
    if (left < header_size || left - header_size < length) {
        hold(left);
        return Status::need_more;
    }
    payload = input + input_at + header_size;
    payload_size = length;
    input_at += header_size + length;
    return Status::frame;
}

}  // namespace tarn::collector
