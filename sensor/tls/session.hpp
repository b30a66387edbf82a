#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "config/settings.hpp"

// TLS for the connection to a collector, one platform file per job: session_posix.cpp
// (OpenSSL), and session_win32.cpp (SChannel) with credentials_win32.cpp and verify_win32.cpp.
// Every failure is a SensorError whose text an operator can act on.
namespace tarn::sensor {

// What a step waits for before it can go on: nothing (it is done), the socket readable or
// writable, or the collector's word on the agent's certificate (the socket readable, for a short
// while only: a TLS 1.3 collector that accepts it and sends no session ticket says nothing).
enum class TlsWant { nothing, read, write, verdict };

// The words for each cause that every platform can tell apart, so that a cause reads the same
// on all of them.
namespace tls_words {
inline constexpr char untrusted[] =
    "the collector's certificate is not from a trusted authority (tls-ca)";
inline constexpr char expired[] = "the collector's certificate has expired";
inline constexpr char not_for_server[] =
    "the collector's certificate is not for a server (its extended key usage lacks serverAuth)";
inline constexpr char not_yet_valid[] =
    "the collector's certificate is not valid yet (check the clocks)";
inline std::string not_for(const std::string& expected) {
    return "the collector's certificate is not for " + expected +
           " (set tls-server-name to the name it carries)";
}
inline constexpr char certificate_required[] =
    "the collector requires a client certificate (set tls-cert and tls-key)";
inline constexpr char certificate_refused[] =
    "the collector did not accept the agent's certificate: ";  // and what it said
inline constexpr char ended[] = "the collector ended the TLS session (close_notify)";
inline constexpr char closed[] = "the collector closed the connection";
inline constexpr char closed_in_handshake[] =
    "the collector closed the connection during the TLS handshake";
inline constexpr char not_tls[] =
    "the collector does not answer in TLS (is it a plain TCP collector?)";
inline constexpr char no_common[] =
    "no TLS version or cipher in common with the collector (the agent takes 1.2 and 1.3)";
inline constexpr char pair_missing[] = "tls-cert and tls-key go together: one of them is missing";
inline constexpr char key_mismatch[] = "not the key of the certificate in tls-cert";
inline constexpr char key_encrypted[] =
    "the key is encrypted: give it unencrypted (openssl pkey -in KEY -out NEW), readable only "
    "by the agent's account";
}  // namespace tls_words

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
    // The collector said nothing while the caller waited for its verdict: it accepted.
    void take_silence_as_acceptance();
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
