#pragma once

#include "config/config_store.hpp"

namespace tarn::net {

// What capture takes from the configuration beside the agent's settings: on Linux the key
// "dnstap-socket", where the stand-in listens for the DNS server; nothing on Windows.
void configure_capture(const config::ConfigStore& store);

}  // namespace tarn::net
