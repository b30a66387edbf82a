#include "agent/run_agent.hpp"

namespace tarn {

const char* config_path = nullptr;
Event stop_event = nullptr;
Mutex run_mutex = nullptr;

void create_stop_primitives() {
    // Results ignored: without the event the stop wait returns at once and the run ends.
    if (stop_event == nullptr) {
        event_create(&stop_event);
    }
    if (run_mutex == nullptr) {
        mutex_create(&run_mutex);
    }
}

}  // namespace tarn
