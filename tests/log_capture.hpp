#pragma once

#include <string>
#include <vector>

namespace tarn::test {

// The test process opens the agent's log once, in a file of its own, so tests can read back
// exactly what the code under test logged.
void open_test_log();
const std::string& test_log_path();

// Lines (without timestamp and pid prefix) logged since construction.
class LogCapture {
  public:
    LogCapture();
    std::vector<std::string> lines() const;
    // Full raw text logged since construction.
    std::string text() const;

  private:
    long long start = 0;
};

}  // namespace tarn::test
