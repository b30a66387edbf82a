#pragma once

// What the SChannel session, the credentials and the certificate checks share on Windows.
// Winsock before windows.h, and wincrypt.h (which WIN32_LEAN_AND_MEAN leaves out) and ncrypt.h
// after it.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include <subauth.h>
#include <wincrypt.h>

#include <ncrypt.h>
#define SECURITY_WIN32
// SCH_CREDENTIALS, the structure that Windows asks for TLS 1.3 with.
#define SCHANNEL_USE_BLACKLISTS
#include <schannel.h>
#include <security.h>

#include <list>
#include <memory>
#include <string>

#include "sensor/tls/session.hpp"

namespace tarn::sensor {

namespace tls_win32 {

struct CloseStore {
    void operator()(void* store) const { CertCloseStore(store, 0); }
};
struct FreeCertificate {
    void operator()(const CERT_CONTEXT* certificate) const {
        CertFreeCertificateContext(certificate);
    }
};
struct FreeChain {
    void operator()(const CERT_CHAIN_CONTEXT* chain) const { CertFreeCertificateChain(chain); }
};
struct FreeLocal {
    void operator()(void* memory) const { LocalFree(memory); }
};
// For what may hold a private key: zeroed before it goes back.
struct WipeLocal {
    void operator()(void* memory) const {
        SecureZeroMemory(memory, LocalSize(memory));
        LocalFree(memory);
    }
};

using CertStore = std::unique_ptr<void, CloseStore>;
using Certificate = std::unique_ptr<const CERT_CONTEXT, FreeCertificate>;
using Chain = std::unique_ptr<const CERT_CHAIN_CONTEXT, FreeChain>;
template <class T>
using LocalMemory = std::unique_ptr<T, FreeLocal>;
template <class T>
using LocalSecret = std::unique_ptr<T, WipeLocal>;

// A CryptoAPI provider handle and a key handle, released once.
struct Provider {
    HCRYPTPROV handle = 0;
    Provider() = default;
    Provider(const Provider&) = delete;
    Provider& operator=(const Provider&) = delete;
    ~Provider() {
        if (handle != 0) {
            CryptReleaseContext(handle, 0);
        }
    }
};
struct KeyHandle {
    HCRYPTKEY handle = 0;
    KeyHandle() = default;
    KeyHandle(const KeyHandle&) = delete;
    KeyHandle& operator=(const KeyHandle&) = delete;
    ~KeyHandle() {
        if (handle != 0) {
            CryptDestroyKey(handle);
        }
    }
};

// A key that PFXImportCertStore (legacy or CNG) or the agent (legacy) put in a container on
// disk, deleted when the agent no longer needs it (Windows keeps imported keys otherwise).
struct ImportedKey {
    std::wstring container, provider;
    DWORD type = 0;
    DWORD flags = 0;
    ImportedKey() = default;
    ImportedKey(const ImportedKey&) = delete;
    ImportedKey& operator=(const ImportedKey&) = delete;
    ~ImportedKey();
};

// A credentials handle from AcquireCredentialsHandle, freed once.
struct CredentialsHandle {
    CredHandle handle{};
    bool held = false;
    CredentialsHandle() = default;
    CredentialsHandle(const CredentialsHandle&) = delete;
    CredentialsHandle& operator=(const CredentialsHandle&) = delete;
    ~CredentialsHandle() {
        if (held) {
            FreeCredentialsHandle(&handle);
        }
    }
};

// The system's text for a status without its line end, and the code in hex.
std::string status_text(int32_t status);

// Throws a SensorError unless the collector's certificate leads to one of the configured
// authorities (or, with no ca_store, to a trusted root), is valid now and carries expected.
void verify_collector(const CERT_CONTEXT* certificate, void* ca_store, const std::string& expected);
// The 4 or 16 bytes of an IPv4 or IPv6 literal, or empty for a name.
std::string address_bytes(const std::string& text);

}  // namespace tls_win32

struct TlsCredentials::State {
    // In this order so that each outlives what uses it.
    std::list<tls_win32::ImportedKey> imported_keys;
    tls_win32::CertStore ca_store;   // tls-ca; empty for the system's roots
    tls_win32::CertStore own_store;  // holds the agent's certificate and its key
    tls_win32::Certificate own;      // the agent's certificate, when it has one
    tls_win32::CredentialsHandle credentials;
    tls_win32::CredentialsHandle anonymous;  // without own, while the collector has not asked
};

}  // namespace tarn::sensor
