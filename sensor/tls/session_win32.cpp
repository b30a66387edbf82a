#include <algorithm>
#include <cstring>
#include <vector>

#include "error/error.hpp"
#include "sensor/tcp_connection.hpp"
#include "sensor/tls/schannel_win32.hpp"

// SChannel under the portable session: the handshake, EncryptMessage and DecryptMessage over the
// caller's non-blocking socket, with every buffer owned by the session and reused.
namespace tarn::sensor {

namespace {

using namespace tls_win32;

constexpr ULONG context_flags = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT |
                                ISC_REQ_CONFIDENTIALITY | ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM |
                                ISC_REQ_MANUAL_CRED_VALIDATION | ISC_REQ_USE_SUPPLIED_CREDS;
constexpr size_t header_size = 5;                // a TLS record's header
constexpr size_t incoming_capacity = 64 * 1024;  // several records of the largest size
constexpr size_t outgoing_start = 16 * 1024;     // handshake messages; grows once to a record
constexpr int reads_per_call = 64;               // bounds process_incoming on a chatty collector

struct FreeContextBuffer {
    void operator()(void* buffer) const { ::FreeContextBuffer(buffer); }
};
using ContextBuffer = std::unique_ptr<void, FreeContextBuffer>;

[[noreturn]] void protocol_failure(SECURITY_STATUS status) {
    throw SensorError("TLS protocol failure: " + status_text(status));
}

}  // namespace

struct TlsSession::State {
    const TlsCredentials::State* credentials = nullptr;
    SOCKET socket = INVALID_SOCKET;
    std::string expected;
    std::wstring server_name;  // sent as SNI; empty for an address
    CtxtHandle context{};
    bool have_context = false;
    bool established = false;
    bool verified = false;
    bool need_input = true;
    bool sound = false;  // no failure and no record cut: close_notify may follow
    bool tls13 = false;
    // TLS 1.3 ends the agent's side of the handshake before the collector has judged the agent's
    // certificate: something from the collector after it (a session ticket, data) is its
    // acceptance, an alert its refusal.
    bool judged = false;
    bool certificate_given = false;  // the credentials with the agent's certificate are in use
    SecPkgContext_StreamSizes sizes{};
    std::vector<uint8_t> incoming;
    size_t incoming_length = 0;
    std::vector<uint8_t> outgoing;
    size_t outgoing_begin = 0, outgoing_end = 0;
    uint32_t outgoing_plain = 0;  // plaintext of the record among the outgoing bytes

    ~State() { forget(); }
    void forget();
    SECURITY_STATUS initialize(SecBufferDesc* input, SecBuffer* output);
    void queue(const void* bytes, size_t length);
    void keep_last(size_t count);
    bool flush();
    bool receive();
    void step();
    void established_now();
    bool check_collector();
    void decrypt_all();
    void after_post_handshake(size_t extra);
    [[noreturn]] void handshake_failure(SECURITY_STATUS status);
};

void TlsSession::State::forget() {
    if (have_context) {
        DeleteSecurityContext(&context);
        have_context = false;
    }
}

SECURITY_STATUS TlsSession::State::initialize(SecBufferDesc* input, SecBuffer* output) {
    output[0] = {0, SECBUFFER_TOKEN, nullptr};
    output[1] = {0, SECBUFFER_ALERT, nullptr};
    SecBufferDesc output_description{SECBUFFER_VERSION, 2, output};
    ULONG attributes = 0;
    const CredentialsHandle& in_use = credentials->anonymous.held && !certificate_given
                                          ? credentials->anonymous
                                          : credentials->credentials;
    CredHandle* credentials_handle = const_cast<CredHandle*>(&in_use.handle);
    wchar_t* target = server_name.empty() ? nullptr : server_name.data();
    SECURITY_STATUS status = InitializeSecurityContextW(
        credentials_handle, have_context ? &context : nullptr, target, context_flags, 0, 0, input,
        0, have_context ? nullptr : &context, &output_description, &attributes, nullptr);
    if (!have_context && (status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED)) {
        have_context = true;
    }
    return status;
}

void TlsSession::State::queue(const void* bytes, size_t length) {
    if (outgoing_end + length > outgoing.size()) {
        outgoing.resize(outgoing_end + length);
    }
    std::memcpy(outgoing.data() + outgoing_end, bytes, length);
    outgoing_end += length;
}

// True once every queued byte went out; false when the socket takes no more for now.
bool TlsSession::State::flush() {
    while (outgoing_begin < outgoing_end) {
        const size_t left = std::min<size_t>(outgoing_end - outgoing_begin, UINT32_MAX);
        int code = 0;
        int64_t count =
            socket_calls::send_some(static_cast<intptr_t>(socket), outgoing.data() + outgoing_begin,
                                    static_cast<uint32_t>(left), code);
        if (count < 0) {
            sound = false;
            error::throw_failure<SensorError>("send()", code);
        }
        if (count == 0) {
            return false;
        }
        outgoing_begin += static_cast<size_t>(count);
    }
    outgoing_begin = outgoing_end = 0;
    return true;
}

// True when bytes came; false when the socket has none for now.
bool TlsSession::State::receive() {
    if (incoming_length == incoming.size()) {
        sound = false;
        throw SensorError("TLS protocol failure: a record larger than the agent takes");
    }
    int count = ::recv(socket, reinterpret_cast<char*>(incoming.data() + incoming_length),
                       static_cast<int>(incoming.size() - incoming_length), 0);
    if (count == 0) {
        sound = false;
        throw SensorError(established ? tls_words::closed : tls_words::closed_in_handshake);
    }
    if (count == SOCKET_ERROR) {
        int code = WSAGetLastError();
        if (code == WSAEWOULDBLOCK) {
            return false;
        }
        sound = false;
        error::throw_failure<SensorError>("recv()", code);
    }
    incoming_length += static_cast<size_t>(count);
    return true;
}

// The bytes SChannel has not used yet are the last count received; they move to the front.
void TlsSession::State::keep_last(size_t count) {
    std::memmove(incoming.data(), incoming.data() + incoming_length - count, count);
    incoming_length = count;
}

void TlsSession::State::handshake_failure(SECURITY_STATUS status) {
    sound = false;
    const bool have_certificate = credentials->own != nullptr;
    switch (status) {
        case SEC_I_INCOMPLETE_CREDENTIALS:
            if (!have_certificate) {
                throw SensorError(tls_words::certificate_required);
            }
            throw SensorError(std::string(tls_words::certificate_refused) +
                              "it asks for one from another authority");
        case SEC_E_INTERNAL_ERROR:
            // What Wine says where Windows says SEC_I_INCOMPLETE_CREDENTIALS.
            if (!have_certificate) {
                handshake_failure(SEC_I_INCOMPLETE_CREDENTIALS);
            }
            // And what it says for any alert, such as one refusing the agent's certificate.
            throw SensorError(
                "the collector ended the handshake (does it trust the authority of the agent's "
                "certificate?): " +
                status_text(status));
        case SEC_E_CERT_UNKNOWN:
        case SEC_E_CERT_EXPIRED:
        case SEC_E_UNTRUSTED_ROOT:
        case SEC_E_UNKNOWN_CREDENTIALS:
        case SEC_E_NO_CREDENTIALS:
            // The collector's alerts about the agent's certificate: the agent checks the
            // collector's itself.
            throw SensorError(tls_words::certificate_refused + status_text(status));
        case SEC_E_INVALID_TOKEN:
            throw SensorError(tls_words::not_tls);
        case SEC_E_ALGORITHM_MISMATCH:
        case SEC_E_UNSUPPORTED_FUNCTION:
            throw SensorError(tls_words::no_common);
        default:
            break;
    }
    protocol_failure(status);
}

// One InitializeSecurityContext call on what has come from the collector.
void TlsSession::State::step() {
    SecBuffer input[2] = {{static_cast<ULONG>(incoming_length), SECBUFFER_TOKEN, incoming.data()},
                          {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc input_description{SECBUFFER_VERSION, 2, input};
    SecBuffer output[2];
    SECURITY_STATUS status = initialize(&input_description, output);
    ContextBuffer token(output[0].pvBuffer), alert(output[1].pvBuffer);
    if (status == SEC_E_INCOMPLETE_MESSAGE) {
        need_input = true;
        return;
    }
    if (status == SEC_I_INCOMPLETE_CREDENTIALS && credentials->anonymous.held &&
        !certificate_given) {
        // The collector asked for the agent's certificate: it goes out, with the same input
        // again, once the collector's own has passed (where SChannel already tells it).
        check_collector();
        certificate_given = true;
        need_input = false;
        return;
    }
    if (status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED) {
        handshake_failure(status);
    }
    if (output[0].cbBuffer != 0 && token) {
        queue(token.get(), output[0].cbBuffer);
    }
    keep_last(input[1].BufferType == SECBUFFER_EXTRA ? input[1].cbBuffer : 0);
    need_input = incoming_length == 0;
    if (status == SEC_E_OK) {
        established_now();
    }
}

void TlsSession::State::established_now() {
    established = true;
    SecPkgContext_ConnectionInfo connection{};
    if (QueryContextAttributesW(&context, SECPKG_ATTR_CONNECTION_INFO, &connection) == SEC_E_OK) {
        tls13 = (connection.dwProtocol & SP_PROT_TLS1_3_CLIENT) != 0;
    }
    if (SECURITY_STATUS status =
            QueryContextAttributesW(&context, SECPKG_ATTR_STREAM_SIZES, &sizes);
        status != SEC_E_OK) {
        protocol_failure(status);
    }
    const size_t record = size_t{sizes.cbHeader} + sizes.cbMaximumMessage + sizes.cbTrailer;
    if (outgoing.size() < outgoing_end + record) {
        outgoing.resize(outgoing_end + record);
    }
    if (!check_collector()) {
        sound = false;
        throw SensorError("the collector sent no certificate");
    }
    verified = sound = true;
}

// Verifies the collector's certificate once SChannel has it; false while it has none.
bool TlsSession::State::check_collector() {
    const CERT_CONTEXT* remote = nullptr;
    if (QueryContextAttributesW(&context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &remote) != SEC_E_OK ||
        remote == nullptr) {
        return false;
    }
    Certificate collector(remote);
    verify_collector(collector.get(), credentials->ca_store.get(), expected);
    return true;
}

// The collector's post-handshake message: a TLS 1.3 session ticket (or key update) is answered
// with InitializeSecurityContext; anything else is a renegotiation, which the agent refuses.
void TlsSession::State::after_post_handshake(size_t extra) {
    if (!tls13) {
        sound = false;
        throw SensorError("the collector asked to renegotiate, which the agent never does");
    }
    keep_last(extra);
    SecBuffer input[2] = {{static_cast<ULONG>(incoming_length), SECBUFFER_TOKEN, incoming.data()},
                          {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc input_description{SECBUFFER_VERSION, 2, input};
    SecBuffer output[2];
    SECURITY_STATUS status = initialize(&input_description, output);
    ContextBuffer token(output[0].pvBuffer), alert(output[1].pvBuffer);
    if (status != SEC_E_OK) {
        sound = false;
        if (status == SEC_I_CONTINUE_NEEDED) {
            throw SensorError("the collector asked to renegotiate, which the agent never does");
        }
        protocol_failure(status);
    }
    if (output[0].cbBuffer != 0 && token) {
        queue(token.get(), output[0].cbBuffer);
    }
    keep_last(input[1].BufferType == SECBUFFER_EXTRA ? input[1].cbBuffer : 0);
}

// Every whole record that has come; a record's header is read here first, since Wine's
// DecryptMessage reads it whatever the length given.
void TlsSession::State::decrypt_all() {
    while (incoming_length >= header_size) {
        const size_t record = header_size + (size_t{incoming[3]} << 8 | incoming[4]);
        if (incoming_length < record) {
            return;
        }
        SecBuffer buffers[4] = {
            {static_cast<ULONG>(incoming_length), SECBUFFER_DATA, incoming.data()},
            {0, SECBUFFER_EMPTY, nullptr},
            {0, SECBUFFER_EMPTY, nullptr},
            {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc description{SECBUFFER_VERSION, 4, buffers};
        SECURITY_STATUS status = DecryptMessage(&context, &description, 0, nullptr);
        size_t extra = 0, data = 0;
        for (const SecBuffer& buffer : buffers) {
            if (buffer.BufferType == SECBUFFER_EXTRA) {
                extra = buffer.cbBuffer;
            } else if (buffer.BufferType == SECBUFFER_DATA) {
                data = buffer.cbBuffer;
            }
        }
        if (status == SEC_I_CONTEXT_EXPIRED || (status == SEC_E_OK && data == 0)) {
            // close_notify: Windows says the context expired, Wine decrypts nothing.
            sound = false;
            throw SensorError(tls_words::ended);
        }
        if (status == SEC_I_RENEGOTIATE) {
            after_post_handshake(extra);
            judged = true;
            continue;
        }
        if (status == SEC_E_INCOMPLETE_MESSAGE) {
            return;
        }
        if (status != SEC_E_OK) {
            sound = false;
            protocol_failure(status);
        }
        judged = true;
        keep_last(extra);  // the collector's data itself is of no use to the agent
    }
}

TlsSession::TlsSession() : held(std::make_unique<State>()) {}

TlsSession::~TlsSession() = default;

void TlsSession::start(const TlsCredentials& credentials, intptr_t socket,
                       const std::string& expected) {
    end();
    State& state = *held;
    state.credentials = &credentials.state();
    state.socket = static_cast<SOCKET>(socket);
    state.expected = expected;
    // A name goes out as SNI; an address, IPv4 or IPv6, never does.
    state.server_name.clear();
    if (address_bytes(expected).empty()) {
        state.server_name.assign(expected.begin(), expected.end());
    }
    state.established = state.verified = state.sound = state.tls13 = state.judged = false;
    state.certificate_given = false;
    state.need_input = false;
    state.incoming.resize(incoming_capacity);
    state.incoming_length = 0;
    state.outgoing.resize(std::max(state.outgoing.size(), outgoing_start));
    state.outgoing_begin = state.outgoing_end = 0;
    state.outgoing_plain = 0;
    // The first call has no input: it makes the ClientHello.
    SecBuffer output[2];
    SECURITY_STATUS status = state.initialize(nullptr, output);
    ContextBuffer token(output[0].pvBuffer), alert(output[1].pvBuffer);
    if (status != SEC_I_CONTINUE_NEEDED) {
        state.handshake_failure(status);
    }
    state.queue(token.get(), output[0].cbBuffer);
    state.need_input = true;
}

TlsWant TlsSession::handshake() {
    State& state = *held;
    for (;;) {
        if (!state.flush()) {
            return TlsWant::write;
        }
        if (state.verified) {
            if (!state.tls13 || state.judged || !state.credentials->own) {
                return TlsWant::nothing;
            }
            process_incoming();
            return state.judged ? TlsWant::nothing : TlsWant::verdict;
        }
        if (state.need_input && !state.receive()) {
            return TlsWant::read;
        }
        state.step();
    }
}

uint32_t TlsSession::send_some(const uint8_t* data, uint32_t length, TlsWant& want) {
    State& state = *held;
    want = TlsWant::write;
    if (!state.verified) {
        throw SensorError("no TLS session with the collector");
    }
    if (state.outgoing_end != 0) {
        if (!state.flush()) {
            return 0;
        }
        // The record cut last time is out whole now: its plaintext counts as sent.
        const uint32_t finished = state.outgoing_plain;
        state.outgoing_plain = 0;
        if (finished != 0) {
            return finished;
        }
    }
    uint32_t taken = 0;
    while (taken < length) {
        const uint32_t chunk = std::min(length - taken, uint32_t{state.sizes.cbMaximumMessage});
        uint8_t* record = state.outgoing.data();
        std::memcpy(record + state.sizes.cbHeader, data + taken, chunk);
        SecBuffer buffers[4] = {{state.sizes.cbHeader, SECBUFFER_STREAM_HEADER, record},
                                {chunk, SECBUFFER_DATA, record + state.sizes.cbHeader},
                                {state.sizes.cbTrailer, SECBUFFER_STREAM_TRAILER,
                                 record + state.sizes.cbHeader + chunk},
                                {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc description{SECBUFFER_VERSION, 4, buffers};
        if (SECURITY_STATUS status = EncryptMessage(&state.context, 0, &description, 0);
            status != SEC_E_OK) {
            state.sound = false;
            protocol_failure(status);
        }
        state.outgoing_end =
            size_t{buffers[0].cbBuffer} + buffers[1].cbBuffer + buffers[2].cbBuffer;
        if (!state.flush()) {
            state.outgoing_plain = chunk;  // finished first by the next call
            break;
        }
        taken += chunk;
    }
    return taken;
}

void TlsSession::process_incoming() {
    State& state = *held;
    if (!state.verified) {
        throw SensorError("no TLS session with the collector");
    }
    for (int i = 0; i < reads_per_call; ++i) {
        state.decrypt_all();
        if (!state.receive()) {
            return;
        }
    }
}

void TlsSession::take_silence_as_acceptance() {
    held->judged = true;
}

void TlsSession::end() {
    State& state = *held;
    if (state.have_context && state.sound && state.outgoing_end == 0) {
        // close_notify, sent if the socket takes it now; nothing waits for the answer.
        DWORD type = SCHANNEL_SHUTDOWN;
        SecBuffer control{sizeof type, SECBUFFER_TOKEN, &type};
        SecBufferDesc control_description{SECBUFFER_VERSION, 1, &control};
        if (ApplyControlToken(&state.context, &control_description) == SEC_E_OK) {
            SecBuffer output[2];
            SECURITY_STATUS status = state.initialize(nullptr, output);
            ContextBuffer token(output[0].pvBuffer), alert(output[1].pvBuffer);
            if ((status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED) && token) {
                ::send(state.socket, static_cast<const char*>(token.get()),
                       static_cast<int>(output[0].cbBuffer), 0);
            }
        }
    }
    state.sound = false;
    state.forget();
}

}  // namespace tarn::sensor
