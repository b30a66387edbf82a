// Arbitrary bytes as what a DNS server writes to the dnstap socket, through the Frame Streams
// reader. The first byte picks how the stream is cut into reads; the outcome must not depend
// on it, and the reader never holds more than one bounded frame.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "net/standin/dnstap_event.hpp"
#include "net/standin/frame_streams.hpp"
#include "require.hpp"

namespace {

using namespace tarn::net;

struct Outcome final : frame_streams::FrameHandler {
    const char* on_data_frame(const uint8_t* data, uint32_t size) override {
        require(size > 0 && size <= frame_streams::max_data_frame);
        frames.emplace_back(data, data + size);
        largest_frame = size > largest_frame ? size : largest_frame;
        dnstap::Message message;
        // Like the stand-in: a frame that is no dnstap message ends the connection.
        return dnstap::decode(data, size, message) ? nullptr : "malformed dnstap message";
    }
    bool on_reply(const uint8_t* data, size_t size) override {
        replies.emplace_back(data, data + size);
        return true;
    }
    std::vector<std::vector<uint8_t>> frames;
    std::vector<std::vector<uint8_t>> replies;
    frame_streams::Reader::State state;
    std::string failure;
    size_t largest_frame = 0;
};

void run(const uint8_t* data, size_t size, unsigned split, Outcome& outcome) {
    frame_streams::Reader reader;
    size_t at = 0;
    size_t most_held = 0;
    while (at < size) {
        size_t chunk = split == 0 ? size : 1 + (split * 7 + at) % 97;
        chunk = chunk > size - at ? size - at : chunk;
        reader.feed(data + at, chunk, outcome);
        at += chunk;
        require(reader.held_capacity() <= frame_streams::max_data_frame + 4);
        // Memory follows the bytes that arrived, never a length announced ahead of them.
        most_held = reader.held() > most_held ? reader.held() : most_held;
        size_t arrived = 2 * most_held;
        arrived = outcome.largest_frame + 4 > arrived ? outcome.largest_frame + 4 : arrived;
        require(reader.held_capacity() <= arrived + frame_streams::max_control_frame + 16);
    }
    outcome.state = reader.state();
    outcome.failure = reader.failure();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    Outcome whole;
    Outcome pieces;
    run(data + 1, size - 1, 0, whole);
    run(data + 1, size - 1, data[0], pieces);
    require(whole.state == pieces.state && whole.frames == pieces.frames &&
            whole.replies == pieces.replies);
    if (whole.state == frame_streams::Reader::State::failed) {
        require(whole.failure == pieces.failure && !whole.failure.empty());
    }

    // Replies: an ACCEPT for our content type first in a handshake, a FINISH last.
    uint8_t accept[64];
    size_t accept_size = frame_streams::encode_control(
        frame_streams::control_accept, frame_streams::dnstap_content_type, accept, sizeof accept);
    uint8_t finish[16];
    size_t finish_size = frame_streams::encode_control(frame_streams::control_finish, nullptr,
                                                       finish, sizeof finish);
    require(whole.replies.size() <= 2);
    for (size_t i = 0; i < whole.replies.size(); ++i) {
        const std::vector<uint8_t>& reply = whole.replies[i];
        bool is_accept = reply == std::vector<uint8_t>(accept, accept + accept_size);
        bool is_finish = reply == std::vector<uint8_t>(finish, finish + finish_size);
        require(i == 0 ? is_accept || is_finish : is_finish);
    }
    if (!whole.frames.empty()) {
        require(whole.state != frame_streams::Reader::State::waiting &&
                whole.state != frame_streams::Reader::State::accepted);
    }
    return 0;
}
