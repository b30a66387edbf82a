#include "collector/metrics_server.hpp"

#include "collector/socket_address.hpp"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>

#include <cstring>
#include <stdexcept>

namespace tarn::collector {

namespace {

constexpr unsigned connection_limit = 16;
constexpr unsigned idle_seconds = 10;

MHD_Result answer(MHD_Connection* connection, unsigned status, const std::string& body,
                  const char* content_type) {
    MHD_Response* response = MHD_create_response_from_buffer(
        body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
    if (response == nullptr) {
        return MHD_NO;
    }
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, content_type);
    if (status == MHD_HTTP_METHOD_NOT_ALLOWED) {
        MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
    }
    const MHD_Result queued = MHD_queue_response(connection, status, response);
    MHD_destroy_response(response);
    return queued;
}

MHD_Result serve(void* context, MHD_Connection* connection, const char* url, const char* method,
                 const char*, const char*, size_t*, void**) {
    const auto& metrics = *static_cast<const CollectorMetrics*>(context);
    if (std::strcmp(method, MHD_HTTP_METHOD_GET) != 0 &&
        std::strcmp(method, MHD_HTTP_METHOD_HEAD) != 0) {
        return answer(connection, MHD_HTTP_METHOD_NOT_ALLOWED, "method not allowed\n",
                      "text/plain");
    }
    if (std::strcmp(url, "/metrics") != 0) {
        return answer(connection, MHD_HTTP_NOT_FOUND, "not found\n", "text/plain");
    }
    return answer(connection, MHD_HTTP_OK, metrics.text(), "text/plain; version=0.0.4");
}

// "PORT", "ADDR:PORT" or "[ADDR]:PORT" as a socket address.
sockaddr_storage parse_address(const std::string& text) {
    const size_t colon = text.rfind(':');
    const std::string host = colon == std::string::npos ? "127.0.0.1" : text.substr(0, colon);
    const std::string port_text = colon == std::string::npos ? text : text.substr(colon + 1);
    char* end = nullptr;
    const unsigned long port = std::strtoul(port_text.c_str(), &end, 10);
    if (port_text.empty() || *end != '\0' || port > 65535) {
        throw std::runtime_error("--metrics " + text + ": not PORT or ADDR:PORT");
    }
    sockaddr_storage address;
    if (to_socket_address(host, static_cast<uint16_t>(port), address) == 0) {
        throw std::runtime_error("--metrics " + text + ": not an IPv4 or IPv6 address");
    }
    return address;
}

}  // namespace

MetricsServer::MetricsServer(const std::string& address, const CollectorMetrics& metrics) {
    sockaddr_storage where = parse_address(address);
    const bool v6 = where.ss_family == AF_INET6;
    daemon = MHD_start_daemon(
        MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_POLL | (v6 ? MHD_USE_IPv6 : 0), 0, nullptr,
        nullptr, serve, const_cast<CollectorMetrics*>(&metrics), MHD_OPTION_SOCK_ADDR, &where,
        MHD_OPTION_CONNECTION_LIMIT, connection_limit, MHD_OPTION_CONNECTION_TIMEOUT, idle_seconds,
        MHD_OPTION_END);
    if (daemon == nullptr) {
        throw std::runtime_error("--metrics " + address + ": cannot listen there");
    }
    const MHD_DaemonInfo* info = MHD_get_daemon_info(daemon, MHD_DAEMON_INFO_BIND_PORT);
    const uint16_t port = info != nullptr ? info->port : 0;
    char host[INET6_ADDRSTRLEN] = "?";
    inet_ntop(where.ss_family,
              v6 ? static_cast<const void*>(&reinterpret_cast<sockaddr_in6&>(where).sin6_addr)
                 : static_cast<const void*>(&reinterpret_cast<sockaddr_in&>(where).sin_addr),
              host, sizeof host);
    bound_text =
        (v6 ? "[" + std::string(host) + "]" : std::string(host)) + ":" + std::to_string(port);
}

MetricsServer::~MetricsServer() {
    MHD_stop_daemon(daemon);
}

}  // namespace tarn::collector
