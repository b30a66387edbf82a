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

// The exit status of a run that ended by a failure rather than a stop request: the process's
// on Linux and in a console, the service-specific exit code under the service manager, so
// that recovery can restart the agent.
constexpr int run_failure_status = 1;

// The body of the agent; never lets an exception escape. Returns 0 when a stop request ended
// the run, run_failure_status when a failure did.
int run_agent();

// Directory of the running executable, without a trailing separator; "." if it has none.
std::string executable_directory();

}  // namespace tarn
