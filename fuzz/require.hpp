#pragma once
// A failed check aborts, so that libFuzzer keeps the input.
#include <cstdlib>

inline void require(bool condition) {
    if (!condition) {
        std::abort();
    }
}
