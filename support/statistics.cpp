#include "support/statistics.hpp"

namespace tarn {

Statistics& statistics() {
    static Statistics counters;
    return counters;
}

}  // namespace tarn
