#pragma once
// Loopback TCP on both platforms for the delivery tests: the test thread plays the collector.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace tarn::test {

using Bytes = std::vector<uint8_t>;

// A listener on 127.0.0.1 at an ephemeral port.
struct Listener {
    Listener();
    ~Listener();
    intptr_t accept(int seconds);  // the next connection within the limit, or -1
    intptr_t handle = -1;
    uint16_t port = 0;
};

// Reads until there are size bytes, the peer closes, or the limit passes.
Bytes read_bytes(intptr_t connection, size_t size, int seconds);
// Reads count frames (4-byte big-endian length, payload), the last one cut if the stream ends.
std::vector<Bytes> read_frames(intptr_t connection, size_t count, int seconds);
void close_connection(intptr_t connection, bool reset = false);  // a reset, if asked

// A loopback port with nobody listening on it.
inline uint16_t unused_port() {
    return Listener().port;
}

}  // namespace tarn::test
