#pragma once

#include <string>

#include "collector/metrics.hpp"

struct MHD_Daemon;

namespace tarn::collector {

// GET /metrics over HTTP (libmicrohttpd, its own thread); any other path is 404, any other
// method 405, and nothing else is touched.
class MetricsServer {
  public:
    // address: "PORT" (loopback) or "ADDR:PORT" ("[ADDR]:PORT" for IPv6). Throws
    // std::runtime_error saying why it cannot listen.
    MetricsServer(const std::string& address, const CollectorMetrics& metrics);
    ~MetricsServer();
    MetricsServer(const MetricsServer&) = delete;
    MetricsServer& operator=(const MetricsServer&) = delete;

    const std::string& bound() const { return bound_text; }

  private:
    MHD_Daemon* daemon = nullptr;
    std::string bound_text;
};

}  // namespace tarn::collector
