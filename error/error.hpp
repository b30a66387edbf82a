#pragma once

#include <cstdint>
#include <exception>
#include <sstream>
#include <string>

namespace tarn::error {

// Every failure the agent detects: one line naming the failed call and the system's own text.
class UnknownError : public std::exception {
  public:
    explicit UnknownError(const char* text) : message(text) {}
    explicit UnknownError(const std::string& text) : message(text) {}
    const char* what() const noexcept override { return message.c_str(); }

  private:
    std::string message;
};

// The system's message for an error code, untrimmed, or "Unknown error " and the code.
std::string system_error_text(int32_t code);

// Throws Error with "<call> failed: " and the system's text for code; call names the call and
// what it was given, such as "socket()" or "fopen(" + path + ")". Read errno into a variable
// before the call: building the call's text may change it.
template <class Error>
[[noreturn]] void throw_failure(const std::string& call, int64_t code) {
    std::ostringstream text;
    text << call << " failed: " << system_error_text(static_cast<int32_t>(code));
    throw Error(text.str());
}

}  // namespace tarn::error

namespace tarn::config {
class ConfigError : public error::UnknownError {
  public:
    using UnknownError::UnknownError;
};
}  // namespace tarn::config

namespace tarn::net {
class NetError : public error::UnknownError {
  public:
    using UnknownError::UnknownError;
};
}  // namespace tarn::net

namespace tarn::sensor {
class SensorError : public error::UnknownError {
  public:
    using UnknownError::UnknownError;
};
}  // namespace tarn::sensor
