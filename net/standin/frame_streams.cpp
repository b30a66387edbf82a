#include "net/standin/frame_streams.hpp"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "support/byte_order.hpp"

namespace tarn::net::frame_streams {

namespace {

constexpr size_t content_type_length = sizeof dnstap_content_type - 1;

// The content type fields of a control frame: whether there are any, and whether ours is
// among them.
struct ContentTypes {
    bool typed = false;
    bool offered = false;
};

// Walks the fields after the control type; false when one overruns the frame or is too long.
bool read_content_types(const uint8_t* frame, size_t size, ContentTypes& types) {
    size_t position = 4;
    while (position < size) {
        if (size - position < 8) {
            return false;
        }
        uint32_t field = load_be32(frame + position);
        uint32_t length = load_be32(frame + position + 4);
        position += 8;
        if (length > size - position ||
            (field == field_content_type && length > max_content_type)) {
            return false;
        }
        if (field == field_content_type) {
            types.typed = true;
            types.offered =
                types.offered || (length == content_type_length &&
                                  std::memcmp(frame + position, dnstap_content_type, length) == 0);
        }
        position += length;
    }
    return true;
}

const char* control_name(uint32_t type) {
    switch (type) {
        case control_accept:
            return "ACCEPT";
        case control_start:
            return "START";
        case control_stop:
            return "STOP";
        case control_ready:
            return "READY";
        case control_finish:
            return "FINISH";
        default:
            return "unknown";
    }
}

}  // namespace

size_t encode_control(ControlType type, const char* content_type, uint8_t* out, size_t capacity) {
    size_t type_length = content_type == nullptr ? 0 : std::strlen(content_type);
    size_t frame = 4 + (content_type == nullptr ? 0 : 8 + type_length);
    if (capacity < 8 + frame) {
        return 0;
    }
    store_be32(out, 0);
    store_be32(out + 4, static_cast<uint32_t>(frame));
    store_be32(out + 8, type);
    if (content_type != nullptr) {
        store_be32(out + 12, field_content_type);
        store_be32(out + 16, static_cast<uint32_t>(type_length));
        std::memcpy(out + 20, content_type, type_length);
    }
    return 8 + frame;
}

void Reader::fail(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(reason, sizeof reason, format, arguments);
    va_end(arguments);
    current = State::failed;
}

// The size of the frame starting at data (escape and length included) once its header is in,
// else the header size still needed. False when the header announces a frame out of bounds.
bool Reader::unit_size(const uint8_t* data, size_t size, size_t& total, size_t& header) {
    total = 0;
    if (size < 4) {
        header = 4;
        return true;
    }
    uint32_t length = load_be32(data);
    if (length != 0) {
        if (length > max_data_frame) {
            fail("frame of %u bytes exceeds %u", static_cast<unsigned>(length),
                 static_cast<unsigned>(max_data_frame));
            return false;
        }
        total = 4 + static_cast<size_t>(length);
        return true;
    }
    if (size < 8) {
        header = 8;
        return true;
    }
    length = load_be32(data + 4);
    if (length > max_control_frame) {
        fail("control frame of %u bytes exceeds %u", static_cast<unsigned>(length),
             static_cast<unsigned>(max_control_frame));
        return false;
    }
    if (length < 4) {
        fail("control frame of %u bytes is too short", static_cast<unsigned>(length));
        return false;
    }
    total = 8 + static_cast<size_t>(length);
    return true;
}

// Keeps bytes of an incomplete frame; the block grows with what arrived, never beyond limit.
void Reader::hold(const uint8_t* data, size_t size, size_t limit) {
    size_t needed = pending.size() + size;
    if (needed > pending.capacity()) {
        pending.reserve(std::min(limit, std::max(needed, 2 * pending.capacity())));
    }
    pending.insert(pending.end(), data, data + size);
}

void Reader::feed(const uint8_t* data, size_t size, FrameHandler& handler) {
    size_t total;
    size_t header;
    while (size > 0 && !done()) {
        if (pending.empty()) {
            if (!unit_size(data, size, total, header)) {
                return;
            }
            if (total != 0 && total <= size) {
                // The common case: a whole frame in the received bytes, used in place.
                process(data, total, handler);
                data += total;
                size -= total;
                continue;
            }
            hold(data, size, total != 0 ? total : 8);
            return;
        }
        // Complete the frame held from earlier reads, header first.
        for (;;) {
            if (!unit_size(pending.data(), pending.size(), total, header)) {
                return;
            }
            if (total != 0 && pending.size() == total) {
                process(pending.data(), total, handler);
                pending.clear();
                break;
            }
            if (size == 0) {
                return;
            }
            size_t target = total != 0 ? total : header;
            size_t take = std::min(size, target - pending.size());
            hold(data, take, target);
            data += take;
            size -= take;
        }
    }
}

void Reader::process(const uint8_t* unit, size_t size, FrameHandler& handler) {
    if (load_be32(unit) == 0) {
        control(unit + 8, size - 8, handler);
        return;
    }
    if (current != State::started) {
        fail("data frame before START");
        return;
    }
    // Failed while the handler runs, so that an exception leaves the reader consistent.
    current = State::failed;
    std::snprintf(reason, sizeof reason, "delivery interrupted");
    const char* rejected = handler.on_data_frame(unit + 4, static_cast<uint32_t>(size - 4));
    current = State::started;
    if (rejected != nullptr) {
        fail("%s", rejected);
    }
}

void Reader::control(const uint8_t* frame, size_t size, FrameHandler& handler) {
    uint32_t type = load_be32(frame);
    ContentTypes types;
    if (!read_content_types(frame, size, types)) {
        fail("malformed %s control frame", control_name(type));
        return;
    }
    switch (type) {
        case control_ready:
            on_ready(types.offered, handler);
            return;
        case control_start:
            on_start(types.typed, types.offered);
            return;
        case control_stop:
            on_stop(handler);
            return;
        default:
            fail("unexpected %s control frame (type %u)", control_name(type),
                 static_cast<unsigned>(type));
            return;
    }
}

void Reader::on_ready(bool offered, FrameHandler& handler) {
    if (current != State::waiting) {
        fail("READY after the handshake");
        return;
    }
    if (!offered) {
        fail("READY without content type %s", dnstap_content_type);
        return;
    }
    uint8_t reply[64];
    size_t length = encode_control(control_accept, dnstap_content_type, reply, sizeof reply);
    handshake = true;
    current = State::accepted;
    if (!handler.on_reply(reply, length)) {
        fail("ACCEPT could not be sent");
    }
}

void Reader::on_start(bool typed, bool offered) {
    if (current != State::waiting && current != State::accepted) {
        fail("START after START");
    } else if (typed && !offered) {
        fail("START with a content type other than %s", dnstap_content_type);
    } else {
        current = State::started;
    }
}

void Reader::on_stop(FrameHandler& handler) {
    current = State::finished;
    if (handshake) {
        // A writer may close right after its STOP: the stream is complete all the same.
        uint8_t reply[64];
        size_t length = encode_control(control_finish, nullptr, reply, sizeof reply);
        handler.on_reply(reply, length);
    }
}

}  // namespace tarn::net::frame_streams
