#pragma once

#include <cstdint>
#include <string>

namespace tarn::sensor {

// One outgoing non-blocking IPv4 connection; every failure is a SensorError.
class TcpConnection {
  public:
    TcpConnection() = default;
    ~TcpConnection();
    TcpConnection(const TcpConnection&) = delete;
    TcpConnection& operator=(const TcpConnection&) = delete;

    void connect_to(const char* ip, uint16_t port, int32_t timeout);
    void send_all(const uint8_t* data, uint32_t length);
    void wait_writable(int32_t seconds);
    void close();
    bool is_open() const;

  private:
    std::string ip;
    uint16_t port = 0;
    int32_t timeout = 0;
    intptr_t socket_handle = -1;
};

// Once per process before the processor starts (WSAStartup on Windows).
int network_startup();

}  // namespace tarn::sensor
