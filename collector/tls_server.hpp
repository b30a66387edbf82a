#pragma once

#include <openssl/ssl.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "collector/options.hpp"

// The collector's end of TLS (OpenSSL): one context from the flags, one session per agent.
namespace tarn::collector {

struct FreeSslContext {
    void operator()(SSL_CTX* context) const { SSL_CTX_free(context); }
};
struct FreeSsl {
    void operator()(SSL* ssl) const { SSL_free(ssl); }
};
using SslContext = std::unique_ptr<SSL_CTX, FreeSslContext>;
using Ssl = std::unique_ptr<SSL, FreeSsl>;

// None without --tls-cert; throws std::runtime_error naming the file that cannot be used.
SslContext make_server_context(const Options& options);

enum class TlsStep { done, want_read, want_write, failed };

// Advances the agent's handshake; after failed, error says why.
TlsStep accept_step(SSL* ssl, std::string& error);
// The subject of the agent's verified certificate (RFC 2253), or empty without one.
std::string peer_subject(SSL* ssl);
// Decrypted bytes; 0 once the agent closed, -1 while nothing is there, -2 after error is set.
long tls_read(SSL* ssl, uint8_t* buffer, size_t size, std::string& error);

}  // namespace tarn::collector
