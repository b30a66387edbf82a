#pragma once

// Copies and comparisons of a few bytes without a library call. The stand-in's property names
// and most of its values are under 32 bytes, and a call costs more than such a copy; longer
// runs go to the library as usual. The regions never overlap.
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tarn {

namespace small_bytes_detail {

template <typename Word>
inline Word load(const uint8_t* p) {
    Word word;
    std::memcpy(&word, p, sizeof word);
    return word;
}

template <typename Word>
inline void store(uint8_t* p, Word word) {
    std::memcpy(p, &word, sizeof word);
}

// Two words that together cover count bytes (Word <= count <= 2 Word), the second ending at
// count; all loads come before the stores.
template <typename Word>
inline void copy_ends(uint8_t* to, const uint8_t* from, size_t count) {
    const Word head = load<Word>(from);
    const Word tail = load<Word>(from + count - sizeof(Word));
    store(to, head);
    store(to + count - sizeof(Word), tail);
}

template <typename Word>
inline Word differ_ends(const uint8_t* a, const uint8_t* b, size_t count) {
    const size_t last = count - sizeof(Word);
    return (load<Word>(a) ^ load<Word>(b)) | (load<Word>(a + last) ^ load<Word>(b + last));
}

}  // namespace small_bytes_detail

inline void copy_bytes(uint8_t* to, const uint8_t* from, size_t count) {
    using namespace small_bytes_detail;
    if (count > 16) {
        if (count <= 32) {
            copy_ends<uint64_t>(to, from, 16);
            copy_ends<uint64_t>(to + count - 16, from + count - 16, 16);
        } else {
            std::memcpy(to, from, count);
        }
    } else if (count >= 8) {
        copy_ends<uint64_t>(to, from, count);
    } else if (count >= 4) {
        copy_ends<uint32_t>(to, from, count);
    } else if (count > 0) {
        to[0] = from[0];
        to[count / 2] = from[count / 2];
        to[count - 1] = from[count - 1];
    }
}

inline bool same_bytes(const uint8_t* a, const uint8_t* b, size_t count) {
    using namespace small_bytes_detail;
    if (count > 16) {
        return count <= 32 ? (differ_ends<uint64_t>(a, b, 16) |
                              differ_ends<uint64_t>(a + count - 16, b + count - 16, 16)) == 0
                           : std::memcmp(a, b, count) == 0;
    }
    if (count >= 8) {
        return differ_ends<uint64_t>(a, b, count) == 0;
    }
    if (count >= 4) {
        return differ_ends<uint32_t>(a, b, count) == 0;
    }
    return count == 0 ||
           (a[0] == b[0] && a[count / 2] == b[count / 2] && a[count - 1] == b[count - 1]);
}

}  // namespace tarn
