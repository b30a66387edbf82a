#pragma once

#include <string>
#include <vector>

namespace tarn::test {

// The test process opens the agent's log at start, in a file of its own. What was logged since
// construction: the raw text, or the messages without time and pid.
class LogCapture {
  public:
    LogCapture() : start(static_cast<long long>(LogCapture(0).text().size())) {}
    std::string text() const;
    std::vector<std::string> lines() const;
    // Whether a message equal to (or, with prefix, beginning with) line came within 10 s.
    bool wait_for(const std::string& line, bool prefix = false) const;

  private:
    explicit LogCapture(long long offset) : start(offset) {}
    long long start;
};

}  // namespace tarn::test
