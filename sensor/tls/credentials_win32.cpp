#include <algorithm>
#include <atomic>
#include <cstring>
#include <string_view>
#include <vector>

#include "error/error.hpp"
#include "sensor/tls/schannel_win32.hpp"

// The TLS settings read once on Windows: the authorities from tls-ca (PEM or DER), the agent's
// certificate with its key from PEM files, a PFX file or LocalMachine\My, and SChannel's
// credentials handle.
namespace tarn::sensor {

namespace {

using namespace tls_win32;

[[noreturn]] void refuse(const char* key, const std::string& value, const std::string& why) {
    throw SensorError("cannot use " + std::string(key) + " " + value + ": " + why);
}

[[noreturn]] void refuse_code(const char* key, const std::string& value, DWORD code) {
    refuse(key, value, status_text(static_cast<int32_t>(code)));
}

// Memory that is zeroed before it is freed: what is read from these files may be a private key.
template <class T>
struct Wiping {
    using value_type = T;
    Wiping() = default;
    template <class U>
    Wiping(const Wiping<U>&) {}
    T* allocate(size_t count) { return std::allocator<T>().allocate(count); }
    void deallocate(T* memory, size_t count) {
        SecureZeroMemory(memory, count * sizeof(T));
        std::allocator<T>().deallocate(memory, count);
    }
    bool operator==(const Wiping&) const { return true; }
    bool operator!=(const Wiping&) const { return false; }
};
using Bytes = std::vector<uint8_t, Wiping<uint8_t>>;

Bytes read_file(const char* key, const std::string& path) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        refuse_code(key, path, GetLastError());
    }
    Bytes content;
    LARGE_INTEGER size{};
    DWORD read = 0;
    bool ok = GetFileSizeEx(file, &size) != 0 && size.QuadPart < (64 << 20);
    if (ok) {
        content.resize(static_cast<size_t>(size.QuadPart));
        ok = ReadFile(file, content.data(), static_cast<DWORD>(content.size()), &read, nullptr) &&
             read == content.size();
    }
    DWORD code = GetLastError();
    CloseHandle(file);
    if (!ok) {
        refuse_code(key, path, code == 0 ? ERROR_FILE_TOO_LARGE : code);
    }
    return content;
}

std::wstring wide(const std::string& text) {
    std::wstring result(text.size(), L'\0');
    int count = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                    result.data(), static_cast<int>(result.size()));
    result.resize(static_cast<size_t>(std::max(count, 0)));
    return result;
}

struct PemBlock {
    std::string label;     // "CERTIFICATE", "RSA PRIVATE KEY", ...
    bool headers = false;  // RFC 1421 headers, which only an encrypted key carries; no bytes then
    Bytes der;
};

// Every PEM block of a file, in order.
std::vector<PemBlock> pem_blocks(const char* key, const std::string& path, const Bytes& content) {
    const std::string_view text(reinterpret_cast<const char*>(content.data()), content.size());
    constexpr std::string_view begin = "-----BEGIN ", dashes = "-----";
    std::vector<PemBlock> blocks;
    for (size_t at = text.find(begin); at != std::string_view::npos; at = text.find(begin, at)) {
        const size_t label = at + begin.size(), label_end = text.find(dashes, label);
        if (label_end == std::string_view::npos) {
            refuse(key, path, "a PEM block has no END line");
        }
        PemBlock& block = blocks.emplace_back();
        block.label = text.substr(label, label_end - label);
        const std::string end = "-----END " + block.label + "-----";
        const size_t body = label_end + dashes.size(), stop = text.find(end, body);
        if (stop == std::string_view::npos) {
            refuse(key, path, "a PEM block has no END line");
        }
        const std::string_view base64 = text.substr(body, stop - body);
        const auto decode = [&](BYTE* bytes, DWORD& size) {
            return CryptStringToBinaryA(base64.data(), static_cast<DWORD>(base64.size()),
                                        CRYPT_STRING_BASE64, bytes, &size, nullptr, nullptr) != 0;
        };
        block.headers = base64.find(':') != std::string_view::npos;
        DWORD size = 0;
        bool ok = block.headers || (decode(nullptr, size) && size != 0);
        if (ok && !block.headers) {
            block.der.resize(size);
            ok = decode(block.der.data(), size);
        }
        if (!ok) {
            refuse(key, path, "a PEM block is not valid base64");
        }
        at = stop + end.size();
    }
    return blocks;
}

CertStore memory_store(const char* key, const std::string& path) {
    CertStore store(
        CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, CERT_STORE_CREATE_NEW_FLAG, nullptr));
    if (!store) {
        refuse_code(key, path, GetLastError());
    }
    return store;
}

// Adds every certificate of a PEM file, or the one of a DER file, to store; the first of them.
Certificate add_certificates(void* store, const char* key, const std::string& path,
                             const Bytes& content) {
    std::vector<PemBlock> blocks = pem_blocks(key, path, content);
    if (blocks.empty()) {
        blocks.push_back({"CERTIFICATE", false, content});  // DER
    }
    Certificate first;
    for (const PemBlock& block : blocks) {
        const CERT_CONTEXT* added = nullptr;
        if (block.label == "CERTIFICATE" &&
            !CertAddEncodedCertificateToStore(
                store, X509_ASN_ENCODING, block.der.data(), static_cast<DWORD>(block.der.size()),
                CERT_STORE_ADD_REPLACE_EXISTING, first ? nullptr : &added)) {
            refuse_code(key, path, GetLastError());
        }
        if (added != nullptr) {
            first.reset(added);
        }
    }
    if (!first) {
        refuse(key, path, "no certificate in it");
    }
    return first;
}

// What CryptDecodeObjectEx makes of bytes, in memory of its own, and its size; null when it
// cannot.
template <class T>
LocalSecret<T> decoded(LPCSTR type, const BYTE* data, size_t size, DWORD* result_size = nullptr) {
    void* result = nullptr;
    DWORD length = 0;
    if (!CryptDecodeObjectEx(X509_ASN_ENCODING, type, data, static_cast<DWORD>(size),
                             CRYPT_DECODE_ALLOC_FLAG, nullptr, &result, &length)) {
        return nullptr;
    }
    if (result_size != nullptr) {
        *result_size = length;
    }
    return LocalSecret<T>(static_cast<T*>(result));
}

// The first certificate of a store that has a private key.
// The first certificate in store whose private key is at hand: in a container, or (imported
// without persisting) held by the certificate itself.
Certificate with_key(void* store) {
    for (const CERT_CONTEXT* found = nullptr;
         (found = CertEnumCertificatesInStore(store, found)) != nullptr;) {
        for (DWORD property : {CERT_KEY_PROV_INFO_PROP_ID, CERT_KEY_CONTEXT_PROP_ID,
                               CERT_NCRYPT_KEY_HANDLE_PROP_ID}) {
            DWORD size = 0;
            if (CertGetCertificateContextProperty(found, property, nullptr, &size)) {
                return Certificate(found);
            }
        }
    }
    return nullptr;
}

// Every key a PFX import left on disk, to be deleted when the agent no longer needs it: the
// agent's, and any other the file held.
void note_persisted_keys(TlsCredentials::State& state) {
    for (const CERT_CONTEXT* found = nullptr;
         (found = CertEnumCertificatesInStore(state.own_store.get(), found)) != nullptr;) {
        DWORD size = 0;
        if (!CertGetCertificateContextProperty(found, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size)) {
            continue;
        }
        std::vector<uint8_t> buffer(size);
        auto* key = reinterpret_cast<CRYPT_KEY_PROV_INFO*>(buffer.data());
        if (CertGetCertificateContextProperty(found, CERT_KEY_PROV_INFO_PROP_ID, key, &size) &&
            key->pwszContainerName != nullptr) {
            ImportedKey& imported = state.imported_keys.emplace_back();
            imported.container = key->pwszContainerName;
            imported.provider = key->pwszProvName != nullptr ? key->pwszProvName : L"";
            imported.type = key->dwProvType;  // 0: a CNG key
            imported.flags = key->dwFlags & CRYPT_MACHINE_KEYSET;
        }
    }
}

void read_pfx(TlsCredentials::State& state, const config::TlsSettings& settings,
              CRYPT_DATA_BLOB& blob) {
    const std::string& path = settings.cert_file;
    std::wstring password = wide(settings.cert_password);
    // Keys that live in this process alone (Windows 8 and later): nothing of the file stays on
    // disk, whatever keys it holds and however the agent ends. Where that import is not to be
    // had (older Windows, Wine), the keys go to disk and each is deleted when no longer needed.
    SetLastError(0);
    state.own_store.reset(PFXImportCertStore(&blob, password.c_str(), PKCS12_NO_PERSIST_KEY));
    DWORD code = GetLastError();
    const bool persisted = !state.own_store || !with_key(state.own_store.get());
    if (persisted) {
        SetLastError(0);
        state.own_store.reset(PFXImportCertStore(&blob, password.c_str(), 0));
        code = GetLastError();
    }
    SecureZeroMemory(password.data(), password.size() * sizeof(wchar_t));
    if (!state.own_store) {
        // Wine says nothing about a wrong password (code 0).
        if (code == 0 || code == ERROR_INVALID_PASSWORD ||
            code == static_cast<DWORD>(NTE_BAD_DATA)) {
            refuse("tls-cert", path,
                   "wrong password or not a PFX file (tls-cert-password), or a key of a kind "
                   "this system cannot import");
        }
        refuse_code("tls-cert", path, code);
    }
    if (persisted) {
        note_persisted_keys(state);
    }
    state.own = with_key(state.own_store.get());
    if (!state.own) {
        refuse("tls-cert", path, "no certificate with its private key in it");
    }
}

// The PKCS#1 bytes of an RSA key; any other key is refused with what to give instead.
Bytes rsa_key(const std::string& path, const Bytes& content) {
    std::vector<PemBlock> blocks = pem_blocks("tls-key", path, content);
    auto found = std::find_if(blocks.begin(), blocks.end(), [](const PemBlock& block) {
        const std::string& label = block.label;
        return label.size() >= 11 && label.compare(label.size() - 11, 11, "PRIVATE KEY") == 0;
    });
    if (found == blocks.end()) {
        refuse("tls-key", path, "no PEM private key in it");
    }
    if (found->headers || found->label == "ENCRYPTED PRIVATE KEY") {
        refuse("tls-key", path, tls_words::key_encrypted);
    }
    Bytes key = std::move(found->der);
    bool ec = found->label == "EC PRIVATE KEY", rsa = found->label == "RSA PRIVATE KEY";
    if (found->label == "PRIVATE KEY") {
        // PKCS#8: version, algorithm, key; the algorithm tells RSA (1.2.840.113549.1.1.1) from
        // EC (1.2.840.10045.2.1).
        constexpr BYTE rsa_oid[] = {6, 9, 0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 1, 1, 1};
        constexpr BYTE ec_oid[] = {6, 7, 0x2a, 0x86, 0x48, 0xce, 0x3d, 2, 1};
        auto is = [](const CRYPT_DER_BLOB& value, const auto& oid) {
            return value.cbData == sizeof oid && std::memcmp(value.pbData, oid, sizeof oid) == 0;
        };
        auto info = decoded<CRYPT_SEQUENCE_OF_ANY>(X509_SEQUENCE_OF_ANY, key.data(), key.size());
        LocalSecret<CRYPT_SEQUENCE_OF_ANY> algorithm;
        LocalSecret<CRYPT_DATA_BLOB> octets;
        if (info && info->cValue >= 3) {
            const CRYPT_DER_BLOB* values = info->rgValue;
            algorithm = decoded<CRYPT_SEQUENCE_OF_ANY>(X509_SEQUENCE_OF_ANY, values[1].pbData,
                                                       values[1].cbData);
            octets =
                decoded<CRYPT_DATA_BLOB>(X509_OCTET_STRING, values[2].pbData, values[2].cbData);
        }
        if (!algorithm || algorithm->cValue == 0 || !octets) {
            refuse("tls-key", path, "not a PKCS#8 private key");
        }
        rsa = is(algorithm->rgValue[0], rsa_oid);
        ec = is(algorithm->rgValue[0], ec_oid);
        key.assign(octets->pbData, octets->pbData + octets->cbData);
    }
    if (ec) {
        // Wine's SChannel takes client keys from RSA containers only, and its crypt32 reads no
        // EC key: an EC path could not be tried here, so there is none.
        refuse("tls-key", path,
               "an EC key: on Windows give an RSA key, or the certificate with its key as a PFX "
               "file (tls-cert) or in LocalMachine\\My (tls-cert-thumbprint)");
    }
    if (!rsa) {
        refuse("tls-key", path, "not an RSA key (" + found->label + ")");
    }
    return key;
}

// The agent's certificate from a PEM (or DER) file and its RSA key from a PEM file, the key
// imported into a new key container of its own that the certificate names.
void read_pem_pair(TlsCredentials::State& state, const config::TlsSettings& settings,
                   const Bytes& content) {
    const std::string& path = settings.key_file;
    state.own_store = memory_store("tls-cert", settings.cert_file);
    state.own = add_certificates(state.own_store.get(), "tls-cert", settings.cert_file, content);
    const Bytes key_bytes = rsa_key(path, read_file("tls-key", path));
    DWORD blob_size = 0;  // a PRIVATEKEYBLOB
    auto blob = decoded<BYTE>(PKCS_RSA_PRIVATE_KEY, key_bytes.data(), key_bytes.size(), &blob_size);
    if (!blob) {
        refuse("tls-key", path, "not a readable RSA key: " + status_text(GetLastError()));
    }
    static std::atomic<unsigned> made{0};
    ImportedKey& imported = state.imported_keys.emplace_back();
    const std::wstring container = L"sabrel-agent " + std::to_wstring(GetCurrentProcessId()) +
                                   L"-" + std::to_wstring(++made) + L"-" +
                                   std::to_wstring(GetTickCount64());
    Provider provider;
    if (!CryptAcquireContextW(&provider.handle, container.c_str(), MS_ENH_RSA_AES_PROV_W,
                              PROV_RSA_AES, CRYPT_NEWKEYSET)) {
        refuse_code("tls-key", path, GetLastError());
    }
    imported.container = container;
    imported.provider = MS_ENH_RSA_AES_PROV_W;
    imported.type = PROV_RSA_AES;
    KeyHandle key;
    if (!CryptImportKey(provider.handle, blob.get(), blob_size, 0, 0, &key.handle)) {
        refuse_code("tls-key", path, GetLastError());
    }
    // A key that is not the certificate's is said now, not as a failed handshake later.
    DWORD size = 0;
    CryptExportPublicKeyInfo(provider.handle, AT_KEYEXCHANGE, X509_ASN_ENCODING, nullptr, &size);
    std::vector<uint8_t> buffer(size);
    auto* public_key = reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(buffer.data());
    if (size == 0 || !CryptExportPublicKeyInfo(provider.handle, AT_KEYEXCHANGE, X509_ASN_ENCODING,
                                               public_key, &size)) {
        refuse_code("tls-key", path, GetLastError());
    }
    if (!CertComparePublicKeyInfo(X509_ASN_ENCODING, &state.own->pCertInfo->SubjectPublicKeyInfo,
                                  public_key)) {
        refuse("tls-key", path, tls_words::key_mismatch);
    }
    CRYPT_KEY_PROV_INFO where{};
    where.pwszContainerName = imported.container.data();
    where.pwszProvName = imported.provider.data();
    where.dwProvType = imported.type;
    where.dwKeySpec = AT_KEYEXCHANGE;
    if (!CertSetCertificateContextProperty(state.own.get(), CERT_KEY_PROV_INFO_PROP_ID, 0,
                                           &where)) {
        refuse_code("tls-key", path, GetLastError());
    }
}

void find_in_machine_store(TlsCredentials::State& state, const std::string& thumbprint) {
    BYTE hash[20];
    DWORD size = sizeof hash;
    if (thumbprint.size() != 40 ||
        !CryptStringToBinaryA(thumbprint.c_str(), 40, CRYPT_STRING_HEX, hash, &size, nullptr,
                              nullptr) ||
        size != sizeof hash) {
        refuse("tls-cert-thumbprint", thumbprint, "not a SHA-1 thumbprint (40 hex digits)");
    }
    state.own_store.reset(CertOpenStore(
        CERT_STORE_PROV_SYSTEM_W, 0, 0,
        CERT_SYSTEM_STORE_LOCAL_MACHINE | CERT_STORE_READONLY_FLAG | CERT_STORE_OPEN_EXISTING_FLAG,
        L"My"));
    if (!state.own_store) {
        refuse_code("tls-cert-thumbprint", "(LocalMachine\\My)", GetLastError());
    }
    CRYPT_HASH_BLOB blob{sizeof hash, hash};
    state.own.reset(CertFindCertificateInStore(state.own_store.get(), X509_ASN_ENCODING, 0,
                                               CERT_FIND_SHA1_HASH, &blob, nullptr));
    if (!state.own) {
        refuse("tls-cert-thumbprint", thumbprint, "no such certificate in LocalMachine\\My");
    }
    HCRYPTPROV_OR_NCRYPT_KEY_HANDLE key = 0;
    DWORD key_kind = 0;
    BOOL caller_frees = FALSE;
    if (!CryptAcquireCertificatePrivateKey(state.own.get(),
                                           CRYPT_ACQUIRE_CACHE_FLAG | CRYPT_ACQUIRE_SILENT_FLAG |
                                               CRYPT_ACQUIRE_ALLOW_NCRYPT_KEY_FLAG,
                                           nullptr, &key, &key_kind, &caller_frees)) {
        refuse("tls-cert-thumbprint", thumbprint,
               "its private key cannot be used: " + status_text(GetLastError()));
    }
}

// TLS 1.2 and 1.3 with the newer structure, which Windows needs for 1.3; the older one where
// that is not known (Wine, Windows before 10 1809), asking for the same.
// Outbound credentials offering own (none when null), TLS 1.2 or 1.3: SCH_CREDENTIALS where
// Windows has it (1.3 needs it), else SCHANNEL_CRED.
SECURITY_STATUS acquire(PCCERT_CONTEXT own, CredentialsHandle& into) {
    const DWORD flags =
        SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS | SCH_USE_STRONG_CRYPTO;
    const DWORD count = own != nullptr ? 1 : 0;
    wchar_t* package = const_cast<wchar_t*>(UNISP_NAME_W);
    TLS_PARAMETERS parameters{};
    parameters.grbitDisabledProtocols =
        ~static_cast<DWORD>(SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT);
    SCH_CREDENTIALS newer{};
    newer.dwVersion = SCH_CREDENTIALS_VERSION;
    newer.cCreds = count;
    newer.paCred = &own;
    newer.dwFlags = flags;
    newer.cTlsParameters = 1;
    newer.pTlsParameters = &parameters;
    SECURITY_STATUS status =
        AcquireCredentialsHandleW(nullptr, package, SECPKG_CRED_OUTBOUND, nullptr, &newer, nullptr,
                                  nullptr, &into.handle, nullptr);
    if (status != SEC_E_OK) {
        SCHANNEL_CRED older{};
        older.dwVersion = SCHANNEL_CRED_VERSION;
        older.cCreds = count;
        older.paCred = &own;
        older.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT;
        older.dwFlags = flags;
        status = AcquireCredentialsHandleW(nullptr, package, SECPKG_CRED_OUTBOUND, nullptr, &older,
                                           nullptr, nullptr, &into.handle, nullptr);
    }
    into.held = status == SEC_E_OK;
    return status;
}

// Wine's SChannel cannot take a certificate once the handshake has begun: where Windows asks
// for one (SEC_I_INCOMPLETE_CREDENTIALS) it fails.
bool running_under_wine() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

}  // namespace

namespace tls_win32 {

ImportedKey::~ImportedKey() {
    if (container.empty()) {
        return;
    }
    if (type != 0) {
        HCRYPTPROV provider = 0;
        CryptAcquireContextW(&provider, container.c_str(),
                             this->provider.empty() ? nullptr : this->provider.c_str(), type,
                             CRYPT_DELETEKEYSET | flags);
        return;
    }
    NCRYPT_PROV_HANDLE storage = 0;
    if (NCryptOpenStorageProvider(
            &storage, this->provider.empty() ? MS_KEY_STORAGE_PROVIDER : this->provider.c_str(),
            0) != ERROR_SUCCESS) {
        return;
    }
    NCRYPT_KEY_HANDLE key = 0;
    if (NCryptOpenKey(storage, &key, container.c_str(), 0, flags | NCRYPT_SILENT_FLAG) ==
        ERROR_SUCCESS) {
        NCryptDeleteKey(key, NCRYPT_SILENT_FLAG);  // frees the handle too
    }
    NCryptFreeObject(storage);
}

}  // namespace tls_win32

TlsCredentials::TlsCredentials(const config::TlsSettings& settings)
    : held(std::make_unique<State>()) {
    State& state = *held;
    if (!settings.ca_file.empty()) {
        state.ca_store = memory_store("tls-ca", settings.ca_file);
        add_certificates(state.ca_store.get(), "tls-ca", settings.ca_file,
                         read_file("tls-ca", settings.ca_file));
    }
    if (!settings.cert_file.empty() && !settings.cert_thumbprint.empty()) {
        throw SensorError("tls-cert and tls-cert-thumbprint: give one of them, not both");
    }
    if (!settings.key_file.empty() && settings.cert_file.empty()) {
        throw SensorError(tls_words::pair_missing);
    }
    if (!settings.cert_file.empty()) {
        Bytes content = read_file("tls-cert", settings.cert_file);
        CRYPT_DATA_BLOB blob{static_cast<DWORD>(content.size()), content.data()};
        if (!PFXIsPFXBlob(&blob)) {
            if (!settings.key_file.empty()) {
                read_pem_pair(state, settings, content);
            } else if (pem_blocks("tls-cert", settings.cert_file, content).empty()) {
                refuse("tls-cert", settings.cert_file, "not a PFX (PKCS#12) file");
            } else {
                throw SensorError(tls_words::pair_missing);
            }
        } else if (!settings.key_file.empty()) {
            refuse("tls-key", settings.key_file,
                   "tls-cert is a PFX file, which holds its key: leave tls-key out");
        } else {
            read_pfx(state, settings, blob);
        }
    } else if (!settings.cert_thumbprint.empty()) {
        find_in_machine_store(state, settings.cert_thumbprint);
    }
    if (SECURITY_STATUS status = acquire(state.own.get(), state.credentials); status != SEC_E_OK) {
        if (!settings.cert_file.empty()) {
            refuse("tls-cert", settings.cert_file, status_text(status));
        }
        if (!settings.cert_thumbprint.empty()) {
            refuse("tls-cert-thumbprint", settings.cert_thumbprint, status_text(status));
        }
        throw SensorError("AcquireCredentialsHandle() failed: " + status_text(status));
    }
    // The handshake starts without the agent's certificate, which goes out only when the
    // collector asks for it and its own certificate has passed: a man in the middle never learns
    // who the agent is. Without these credentials it goes up front.
    if (state.own && !running_under_wine()) {
        acquire(nullptr, state.anonymous);
    }
}

TlsCredentials::~TlsCredentials() = default;

}  // namespace tarn::sensor
