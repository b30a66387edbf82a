#pragma once

#include <string>

// What the run sequence and the entry point need from the platform back ends.
namespace tarn {

// Runs the agent under the platform's service machinery, or in the console when the process
// was not started by it. Returns the process exit status.
int run_dispatcher();

// Makes SIGINT and SIGTERM signal stop_event. Installed once the agent has started; before
// that the default action ends the process.
void install_stop_handlers();

// Result ignored by the run sequence: a failed change leaves the working directory as it was.
int change_directory(const char* path);

// Everything before the last separator of path, or "." when it has none.
std::string directory_part(const std::string& path, char separator);

}  // namespace tarn
