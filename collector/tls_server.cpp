#include "collector/tls_server.hpp"

#include <openssl/err.h>
#include <openssl/x509.h>

#include <algorithm>
#include <climits>
#include <stdexcept>

namespace tarn::collector {

namespace {

// The oldest queued error's text, the queue emptied.
std::string take_error_text() {
    char text[256] = "connection closed";
    if (unsigned long code = ERR_peek_error()) {
        ERR_error_string_n(code, text, sizeof text);
    }
    ERR_clear_error();
    return text;
}

void require(bool ok, const char* flag, const std::string& path) {
    if (!ok) {
        throw std::runtime_error(std::string(flag) + " " + path + ": " + take_error_text());
    }
}

struct FreeBio {
    void operator()(BIO* bio) const { BIO_free(bio); }
};

}  // namespace

SslContext make_server_context(const Options& options) {
    if (options.tls_cert.empty()) {
        return nullptr;
    }
    SslContext context(SSL_CTX_new(TLS_server_method()));
    require(context != nullptr, "TLS", "context");
    SSL_CTX* ctx = context.get();
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    // An agent that stops without close_notify is an ended connection, as with plain TCP.
    SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION | SSL_OP_IGNORE_UNEXPECTED_EOF);
    require(SSL_CTX_use_certificate_chain_file(ctx, options.tls_cert.c_str()) == 1, "--tls-cert",
            options.tls_cert);
    require(SSL_CTX_use_PrivateKey_file(ctx, options.tls_key.c_str(), SSL_FILETYPE_PEM) == 1 &&
                SSL_CTX_check_private_key(ctx) == 1,
            "--tls-key", options.tls_key);
    if (!options.tls_client_ca.empty()) {
        const char* ca = options.tls_client_ca.c_str();
        require(SSL_CTX_load_verify_locations(ctx, ca, nullptr) == 1, "--tls-client-ca", ca);
        SSL_CTX_set_client_CA_list(ctx, SSL_load_client_CA_file(ca));
        SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
        // Without it every resumption of a verified session ends in an internal_error alert;
        // SChannel resumes by default, so an agent's every reconnection would fail.
        static const unsigned char session_context[] = "sabrel-collector";
        SSL_CTX_set_session_id_context(ctx, session_context, sizeof session_context - 1);
    }
    return context;
}

TlsStep accept_step(SSL* ssl, std::string& error) {
    ERR_clear_error();
    const int result = SSL_accept(ssl);
    if (result == 1) {
        return TlsStep::done;
    }
    switch (SSL_get_error(ssl, result)) {
        case SSL_ERROR_WANT_READ:
            return TlsStep::want_read;
        case SSL_ERROR_WANT_WRITE:
            return TlsStep::want_write;
        default:
            break;
    }
    // The verdict stays when OpenSSL drops a refused certificate: the operator learns why.
    const long verify = SSL_get_verify_result(ssl);
    error = verify != X509_V_OK
                ? std::string("agent certificate refused: ") + X509_verify_cert_error_string(verify)
                : take_error_text();
    ERR_clear_error();
    return TlsStep::failed;
}

std::string peer_subject(SSL* ssl) {
    X509* certificate = SSL_get0_peer_certificate(ssl);
    if (certificate == nullptr || SSL_get_verify_result(ssl) != X509_V_OK) {
        return "";
    }
    std::unique_ptr<BIO, FreeBio> text(BIO_new(BIO_s_mem()));
    X509_NAME_print_ex(text.get(), X509_get_subject_name(certificate), 0, XN_FLAG_RFC2253);
    char* data = nullptr;
    const long size = BIO_get_mem_data(text.get(), &data);
    return std::string(data, static_cast<size_t>(std::max(0L, size)));
}

long tls_read(SSL* ssl, uint8_t* buffer, size_t size, std::string& error) {
    ERR_clear_error();
    const int got = SSL_read(ssl, buffer, static_cast<int>(std::min<size_t>(size, INT_MAX)));
    if (got > 0) {
        return got;
    }
    switch (SSL_get_error(ssl, got)) {
        case SSL_ERROR_WANT_READ:
        case SSL_ERROR_WANT_WRITE:
            return -1;
        case SSL_ERROR_ZERO_RETURN:
            return 0;
        default:
            error = "TLS read failed: " + take_error_text();
            return -2;
    }
}

}  // namespace tarn::collector
