#include "net/capture_source.hpp"
#include "net/etw_api.hpp"
#include "support/log.hpp"

namespace tarn::net {

void configure_capture(const config::ConfigStore& store) {
    const char* path = store.get("dnstap-socket");
    if (path != nullptr && *path != '\0') {
        standin::dnstap_socket() = path;
    }
    log_message("Config: dnstap-socket = %s", standin::dnstap_socket().c_str());
}

}  // namespace tarn::net
