#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>

#include "error/error.hpp"
#include "sensor/tls/session.hpp"

// OpenSSL 3 under the portable session. Writes go through the socket BIO's write(): the agent
// ignores SIGPIPE (service_posix.cpp), so a reset collector costs a failed send.
namespace tarn::sensor {

namespace {

struct FreeContext {
    void operator()(SSL_CTX* context) const { SSL_CTX_free(context); }
};
struct FreeSsl {
    void operator()(SSL* ssl) const { SSL_free(ssl); }
};

constexpr int reads_per_call = 64;  // bounds process_incoming against a chatty collector
// One TLS record a write: a retry that finishes a record half taken by the socket then returns
// its length, where a longer write would go on to the next records, meet a full socket and
// report nothing of the one it finished, leaving sent() behind what the socket took.
constexpr uint32_t largest_write = 16384;
constexpr int alert_offset = SSL_AD_REASON_OFFSET;

// The reason of the oldest queued error, its text from OpenSSL, and an empty queue after.
std::string take_error_text(int& reason) {
    unsigned long code = ERR_peek_error();
    reason = ERR_GET_REASON(code);
    char text[256] = "unknown error";
    const char* reason_text = ERR_reason_error_string(code);
    if (ERR_SYSTEM_ERROR(code)) {
        std::snprintf(text, sizeof text, "%s", error::system_error_text(reason).c_str());
    } else if (reason_text != nullptr) {
        std::snprintf(text, sizeof text, "%s", reason_text);
    } else if (code != 0) {
        ERR_error_string_n(code, text, sizeof text);
    }
    ERR_clear_error();
    return text;
}

[[noreturn]] void throw_unreadable(const char* key, const std::string& path) {
    int reason = 0;
    std::string text = take_error_text(reason);
    throw SensorError("cannot use " + std::string(key) + " " + path + ": " + text);
}

std::string certificate_problem(long verify, const std::string& expected) {
    switch (verify) {
        case X509_V_ERR_CERT_HAS_EXPIRED:
            return tls_words::expired;
        case X509_V_ERR_CERT_NOT_YET_VALID:
            return tls_words::not_yet_valid;
        case X509_V_ERR_INVALID_PURPOSE:
            return tls_words::not_for_server;
        case X509_V_ERR_IP_ADDRESS_MISMATCH:
        case X509_V_ERR_HOSTNAME_MISMATCH:
            return tls_words::not_for(expected);
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
        case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
        case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
        case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
        case X509_V_ERR_CERT_UNTRUSTED:
            return tls_words::untrusted;
        default:
            return std::string("the collector's certificate was refused: ") +
                   X509_verify_cert_error_string(verify);
    }
}

// What an alert from the collector means to the operator; a handshake failure before the
// collector asked for a certificate is about the parameters it was offered.
std::string alert_problem(int alert, bool have_certificate, bool asked_for_certificate) {
    const std::string name = SSL_alert_desc_string_long(alert);
    switch (alert) {
        case TLS13_AD_CERTIFICATE_REQUIRED:
            return tls_words::certificate_required;
        case SSL_AD_HANDSHAKE_FAILURE:
            if (!asked_for_certificate) {
                return tls_words::no_common;
            }
            if (!have_certificate) {
                return tls_words::certificate_required;
            }
            return "the collector ended the handshake: " + name;
        case SSL_AD_UNKNOWN_CA:
        case SSL_AD_BAD_CERTIFICATE:
        case SSL_AD_UNSUPPORTED_CERTIFICATE:
        case SSL_AD_CERTIFICATE_REVOKED:
        case SSL_AD_CERTIFICATE_EXPIRED:
        case SSL_AD_CERTIFICATE_UNKNOWN:
        case SSL_AD_ACCESS_DENIED:
            return tls_words::certificate_refused + name;
        case SSL_AD_PROTOCOL_VERSION:
            return tls_words::no_common;
        default:
            return "the collector sent the alert " + name;
    }
}

}  // namespace

struct TlsCredentials::State {
    std::unique_ptr<SSL_CTX, FreeContext> context;
    bool have_certificate = false;
};

TlsCredentials::TlsCredentials(const config::TlsSettings& settings)
    : held(std::make_unique<State>()) {
    ERR_clear_error();
    held->context.reset(SSL_CTX_new(TLS_client_method()));
    SSL_CTX* context = held->context.get();
    if (context == nullptr) {
        throw_unreadable("TLS", "context");
    }
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    SSL_CTX_set_options(context, SSL_OP_NO_RENEGOTIATION);
    // A send returns after each whole record, and may resume with the same bytes elsewhere.
    SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
    const bool roots =
        settings.ca_file.empty()
            ? SSL_CTX_set_default_verify_paths(context) == 1
            : SSL_CTX_load_verify_locations(context, settings.ca_file.c_str(), nullptr) == 1;
    if (!roots) {
        throw_unreadable("tls-ca", settings.ca_file.empty() ? "(system roots)" : settings.ca_file);
    }
    if (settings.cert_file.empty() != settings.key_file.empty()) {
        throw SensorError(tls_words::pair_missing);
    }
    if (settings.cert_file.empty()) {
        return;
    }
    if (SSL_CTX_use_certificate_chain_file(context, settings.cert_file.c_str()) != 1) {
        throw_unreadable("tls-cert", settings.cert_file);
    }
    // An encrypted key is refused, never asked for on a terminal.
    SSL_CTX_set_default_passwd_cb(context, [](char*, int, int, void*) { return -1; });
    if (SSL_CTX_use_PrivateKey_file(context, settings.key_file.c_str(), SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_check_private_key(context) != 1) {
        const unsigned long code = ERR_peek_error();
        const int reason = ERR_GET_REASON(code);
        const bool mismatch =
            ERR_GET_LIB(code) == ERR_LIB_X509 &&
            (reason == X509_R_KEY_VALUES_MISMATCH || reason == X509_R_KEY_TYPE_MISMATCH);
        if (mismatch || reason == ERR_R_INTERRUPTED_OR_CANCELLED) {
            ERR_clear_error();
            throw SensorError("cannot use tls-key " + settings.key_file + ": " +
                              (mismatch ? tls_words::key_mismatch : tls_words::key_encrypted));
        }
        throw_unreadable("tls-key", settings.key_file);
    }
    held->have_certificate = true;
}

TlsCredentials::~TlsCredentials() = default;

struct TlsSession::State {
    std::unique_ptr<SSL, FreeSsl> ssl;
    std::string expected;
    bool have_certificate = false;
    bool connected = false;
    bool asked_for_certificate = false;  // a TLS 1.3 collector judges it after the handshake
    bool judged = false;                 // something came after the collector read it
    bool sound = false;                  // close_notify may be sent
    uint8_t discard[4096];

    [[noreturn]] void fail(int result, const char* what);
    TlsWant want_or_fail(int result, const char* what);
};

namespace {

// Notes the collector's certificate request, and the first message after the agent's
// certificate went (a session ticket): a TLS 1.3 collector has accepted it by then.
void on_message(int write_p, int, int content_type, const void* buffer, size_t length, SSL*,
                void* argument) {
    auto* state = static_cast<TlsSession::State*>(argument);
    if (write_p != 0 || content_type != SSL3_RT_HANDSHAKE || length == 0) {
        return;
    }
    const int type = static_cast<const uint8_t*>(buffer)[0];
    if (type == SSL3_MT_CERTIFICATE_REQUEST) {
        state->asked_for_certificate = true;
    } else if (state->connected) {
        state->judged = true;
    }
}

}  // namespace

void TlsSession::State::fail(int result, const char* what) {
    sound = false;
    const int kind = SSL_get_error(ssl.get(), result);
    const int code = errno;
    const long verify = SSL_get_verify_result(ssl.get());
    int reason = 0;
    std::string text = take_error_text(reason);
    if (verify != X509_V_OK) {
        throw SensorError(certificate_problem(verify, expected));
    }
    if (reason > alert_offset && reason < alert_offset + 256) {
        throw SensorError(
            alert_problem(reason - alert_offset, have_certificate, asked_for_certificate));
    }
    if (kind == SSL_ERROR_ZERO_RETURN) {
        throw SensorError(tls_words::ended);
    }
    if (kind == SSL_ERROR_SYSCALL && code != 0) {
        error::throw_failure<SensorError>(std::string(what) + "()", code);
    }
    if (kind == SSL_ERROR_SYSCALL || reason == SSL_R_UNEXPECTED_EOF_WHILE_READING) {
        throw SensorError(connected ? tls_words::closed : tls_words::closed_in_handshake);
    }
    if (reason == SSL_R_WRONG_VERSION_NUMBER || reason == SSL_R_PACKET_LENGTH_TOO_LONG) {
        throw SensorError(tls_words::not_tls);
    }
    if (reason == SSL_R_UNSUPPORTED_PROTOCOL || reason == SSL_R_NO_PROTOCOLS_AVAILABLE) {
        throw SensorError(tls_words::no_common);
    }
    throw SensorError(std::string("TLS ") + what + " failed: " + text);
}

TlsWant TlsSession::State::want_or_fail(int result, const char* what) {
    switch (SSL_get_error(ssl.get(), result)) {
        case SSL_ERROR_WANT_READ:
            return TlsWant::read;
        case SSL_ERROR_WANT_WRITE:
            return TlsWant::write;
        default:
            fail(result, what);
    }
}

TlsSession::TlsSession() : held(std::make_unique<State>()) {}

TlsSession::~TlsSession() = default;

void TlsSession::start(const TlsCredentials& credentials, intptr_t socket,
                       const std::string& expected) {
    end();
    State& state = *held;
    state = {};
    state.expected = expected;
    state.have_certificate = credentials.state().have_certificate;
    ERR_clear_error();
    state.ssl.reset(SSL_new(credentials.state().context.get()));
    SSL* ssl = state.ssl.get();
    if (ssl == nullptr || SSL_set_fd(ssl, static_cast<int>(socket)) != 1) {
        int reason = 0;
        throw SensorError("TLS session: " + take_error_text(reason));
    }
    SSL_set_msg_callback(ssl, on_message);
    SSL_set_msg_callback_arg(ssl, &state);
    // An address is matched against the IP-address entries; anything else is a DNS name, also
    // sent as the server name.
    if (X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), expected.c_str()) != 1) {
        ERR_clear_error();
        SSL_set_hostflags(ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        if (SSL_set1_host(ssl, expected.c_str()) != 1 ||
            SSL_set_tlsext_host_name(ssl, expected.c_str()) != 1) {
            throw SensorError("tls-server-name " + expected + " is neither address nor name");
        }
    }
}

TlsWant TlsSession::handshake() {
    State& state = *held;
    if (!state.connected) {
        ERR_clear_error();
        int result = SSL_connect(state.ssl.get());
        if (result != 1) {
            return state.want_or_fail(result, "handshake");
        }
        state.connected = state.sound = true;
    }
    // TLS 1.3 finishes the agent's side before the collector has checked its certificate: its
    // verdict, an alert or a session ticket, is still to come.
    if (SSL_version(state.ssl.get()) == TLS1_3_VERSION && state.asked_for_certificate &&
        !state.judged) {
        process_incoming();
        return state.judged ? TlsWant::nothing : TlsWant::verdict;
    }
    return TlsWant::nothing;
}

void TlsSession::take_silence_as_acceptance() {
    held->judged = true;
}

uint32_t TlsSession::send_some(const uint8_t* data, uint32_t length, TlsWant& want) {
    State& state = *held;
    ERR_clear_error();
    errno = 0;
    int result =
        SSL_write(state.ssl.get(), data, static_cast<int>(std::min(length, largest_write)));
    if (result > 0) {
        return static_cast<uint32_t>(result);
    }
    want = state.want_or_fail(result, "send");
    return 0;
}

void TlsSession::process_incoming() {
    State& state = *held;
    for (int i = 0; i < reads_per_call; ++i) {
        ERR_clear_error();
        errno = 0;
        int result = SSL_read(state.ssl.get(), state.discard, sizeof state.discard);
        if (result <= 0 && state.want_or_fail(result, "recv") != TlsWant::nothing) {
            return;
        }
    }
}

void TlsSession::end() {
    State& state = *held;
    if (state.ssl && state.sound) {
        SSL_shutdown(state.ssl.get());  // close_notify, without waiting for the answer
    }
    ERR_clear_error();
    state.ssl.reset();
    state.sound = false;
}

}  // namespace tarn::sensor
