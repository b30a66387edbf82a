#include "error/error.hpp"
#include "sensor/tls_session.hpp"

// No TLS back end on Windows yet: with tls on, every connect fails with this text, and nothing
// is ever sent in clear instead.
namespace tarn::sensor {

namespace {

constexpr char unavailable[] = "TLS is not available in this build";

}  // namespace

struct TlsCredentials::State {};
struct TlsSession::State {};

TlsCredentials::TlsCredentials(const config::TlsSettings&) {
    throw SensorError(unavailable);
}

TlsCredentials::~TlsCredentials() = default;

TlsSession::TlsSession() = default;

TlsSession::~TlsSession() = default;

void TlsSession::start(const TlsCredentials&, intptr_t, const std::string&) {
    throw SensorError(unavailable);
}

TlsWant TlsSession::handshake() {
    throw SensorError(unavailable);
}

uint32_t TlsSession::send_some(const uint8_t*, uint32_t, TlsWant&) {
    throw SensorError(unavailable);
}

void TlsSession::process_incoming() {
    throw SensorError(unavailable);
}

void TlsSession::end() {}

}  // namespace tarn::sensor
