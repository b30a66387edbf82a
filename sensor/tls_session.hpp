#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "config/settings.hpp"

// TLS for the connection to a collector, one platform file per job: tls_session_posix.cpp
// (OpenSSL) and tls_session_win32.cpp (SChannel). Every failure is a SensorError whose text an
// operator can act on.
namespace tarn::sensor {

// What a step waits for before it can go on: nothing (it is done), or the socket readable or
// writable.
enum class TlsWant { nothing, read, write };

// What every session shares: the roots the collector's certificate must lead to (tls-ca or the
// system's) and the agent's own certificate and key, read once.
class TlsCredentials {
  public:
    // Reads the files; the error names the key and the path that could not be used.
    explicit TlsCredentials(const config::TlsSettings& settings);
    ~TlsCredentials();
    TlsCredentials(const TlsCredentials&) = delete;
    TlsCredentials& operator=(const TlsCredentials&) = delete;

    struct State;  // the platform's
    State& state() const { return *held; }

  private:
    std::unique_ptr<State> held;
};

// One client session on a connected non-blocking socket. No call blocks: each does what the
// socket allows and says what it waits for; the caller waits (its time-out, its stop) and calls
// again with the same arguments. The socket stays the caller's.
class TlsSession {
  public:
    TlsSession();
    ~TlsSession();
    TlsSession(const TlsSession&) = delete;
    TlsSession& operator=(const TlsSession&) = delete;

    // Begins a session whose collector certificate must carry expected: an IPv4 address
    // (matched against its IP-address entries) or a DNS name.
    void start(const TlsCredentials& credentials, intptr_t socket, const std::string& expected);
    // The handshake; nothing once the collector's certificate is verified and, where the
    // collector asked for the agent's, the collector has accepted it. Never renegotiates.
    TlsWant handshake();
    // Encrypts and sends the start of data: the plaintext bytes whose records the socket took
    // whole, or 0 with want set. A record the socket took in part is finished by the next call.
    uint32_t send_some(const uint8_t* data, uint32_t length, TlsWant& want);
    // Processes every record the collector has sent (alerts, close_notify, session tickets)
    // without waiting; application data is discarded. Throws once the collector closed or
    // failed, so that the next send does not go out.
    void process_incoming();
    // Says close_notify when the session is sound, then forgets it.
    void end();

    struct State;  // the platform's

  private:
    std::unique_ptr<State> held;
};

}  // namespace tarn::sensor
