#pragma once

#include <string>

#include "support/threads.hpp"

namespace tarn {

extern const char* config_path;
extern Event stop_event;
extern Mutex run_mutex;

// Creates stop_event and run_mutex unless they exist, so a stop that comes before the run
// sequence starts is held until its wait.
void create_stop_primitives();

// The body of the agent; never lets an exception escape.
void run_agent();

// Directory of the running executable, without a trailing separator; "." if it has none.
std::string executable_directory();

}  // namespace tarn
