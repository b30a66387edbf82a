#pragma once

#include <cstdint>
#include <exception>
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
