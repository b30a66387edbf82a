#include "net/capture_source.hpp"

namespace tarn::net {

// The ETW session needs nothing from the configuration.
void configure_capture(const config::ConfigStore&) {}

}  // namespace tarn::net
