#include <cstring>
#include <vector>

#include "error/error.hpp"
#include "sensor/tls_win32.hpp"

// The TLS settings read once on Windows: the authorities from tls-ca (PEM or DER), the agent's
// certificate from a PFX file or from LocalMachine\My, and SChannel's credentials handle.
namespace tarn::sensor {

namespace {

using namespace tls_win32;

[[noreturn]] void refuse(const char* key, const std::string& value, const std::string& why) {
    throw SensorError("cannot use " + std::string(key) + " " + value + ": " + why);
}

[[noreturn]] void refuse_code(const char* key, const std::string& value, DWORD code) {
    refuse(key, value, status_text(static_cast<int32_t>(code)));
}

std::vector<uint8_t> read_file(const char* key, const std::string& path) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        refuse_code(key, path, GetLastError());
    }
    std::vector<uint8_t> content;
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

// Every certificate of a PEM file, or the one of a DER file.
CertStore read_authorities(const std::string& path) {
    std::vector<uint8_t> content = read_file("tls-ca", path);
    CertStore store(
        CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, CERT_STORE_CREATE_NEW_FLAG, nullptr));
    if (!store) {
        refuse_code("tls-ca", path, GetLastError());
    }
    const std::string text(content.begin(), content.end());
    const std::string begin = "-----BEGIN CERTIFICATE-----", end = "-----END CERTIFICATE-----";
    std::vector<std::vector<uint8_t>> found;
    for (size_t at = text.find(begin); at != std::string::npos; at = text.find(begin, at)) {
        size_t stop = text.find(end, at);
        if (stop == std::string::npos) {
            refuse("tls-ca", path, "a PEM certificate has no END line");
        }
        const std::string base64 = text.substr(at + begin.size(), stop - at - begin.size());
        DWORD size = 0;
        std::vector<uint8_t> der;
        if (CryptStringToBinaryA(base64.c_str(), static_cast<DWORD>(base64.size()),
                                 CRYPT_STRING_BASE64, nullptr, &size, nullptr, nullptr)) {
            der.resize(size);
        }
        if (der.empty() ||
            !CryptStringToBinaryA(base64.c_str(), static_cast<DWORD>(base64.size()),
                                  CRYPT_STRING_BASE64, der.data(), &size, nullptr, nullptr)) {
            refuse("tls-ca", path, "a PEM certificate is not valid base64");
        }
        found.push_back(std::move(der));
        at = stop;
    }
    if (found.empty() && text.find("-----BEGIN") == std::string::npos) {
        found.push_back(std::move(content));  // DER
    }
    if (found.empty()) {
        refuse("tls-ca", path, "no certificate in it");
    }
    for (const auto& der : found) {
        if (!CertAddEncodedCertificateToStore(store.get(), X509_ASN_ENCODING, der.data(),
                                              static_cast<DWORD>(der.size()),
                                              CERT_STORE_ADD_REPLACE_EXISTING, nullptr)) {
            refuse_code("tls-ca", path, GetLastError());
        }
    }
    return store;
}

// The first certificate of a store that has a private key.
Certificate with_key(void* store) {
    for (const CERT_CONTEXT* found = nullptr;
         (found = CertEnumCertificatesInStore(store, found)) != nullptr;) {
        DWORD size = 0;
        if (CertGetCertificateContextProperty(found, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size)) {
            return Certificate(found);
        }
    }
    return nullptr;
}

void read_pfx(TlsCredentials::State& state, const config::TlsSettings& settings) {
    const std::string& path = settings.cert_file;
    std::vector<uint8_t> content = read_file("tls-cert", path);
    CRYPT_DATA_BLOB blob{static_cast<DWORD>(content.size()), content.data()};
    if (!PFXIsPFXBlob(&blob)) {
        const bool pem =
            std::string(content.begin(), content.end()).find("-----BEGIN") != std::string::npos;
        refuse("tls-cert", path,
               pem ? "a PEM file: on Windows give a PFX (PKCS#12) file, or tls-cert-thumbprint"
                   : "not a PFX (PKCS#12) file");
    }
    std::wstring password = wide(settings.cert_password);
    SetLastError(0);
    state.own_store.reset(PFXImportCertStore(&blob, password.c_str(), 0));
    DWORD code = GetLastError();
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
    state.own = with_key(state.own_store.get());
    if (!state.own) {
        refuse("tls-cert", path, "no certificate with its private key in it");
    }
    DWORD size = 0;
    CertGetCertificateContextProperty(state.own.get(), CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size);
    std::vector<uint8_t> buffer(size);
    auto* key = reinterpret_cast<CRYPT_KEY_PROV_INFO*>(buffer.data());
    if (size != 0 &&
        CertGetCertificateContextProperty(state.own.get(), CERT_KEY_PROV_INFO_PROP_ID, key,
                                          &size) &&
        key->dwProvType != 0 && key->pwszContainerName != nullptr) {
        state.imported_key.container = key->pwszContainerName;
        state.imported_key.provider = key->pwszProvName != nullptr ? key->pwszProvName : L"";
        state.imported_key.type = key->dwProvType;
        state.imported_key.flags = key->dwFlags & CRYPT_MACHINE_KEYSET;
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
SECURITY_STATUS acquire(TlsCredentials::State& state) {
    const DWORD flags =
        SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS | SCH_USE_STRONG_CRYPTO;
    PCCERT_CONTEXT own = state.own.get();
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
    CredHandle& handle = state.credentials.handle;
    SECURITY_STATUS status =
        AcquireCredentialsHandleW(nullptr, package, SECPKG_CRED_OUTBOUND, nullptr, &newer, nullptr,
                                  nullptr, &handle, nullptr);
    if (status != SEC_E_OK) {
        SCHANNEL_CRED older{};
        older.dwVersion = SCHANNEL_CRED_VERSION;
        older.cCreds = count;
        older.paCred = &own;
        older.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT;
        older.dwFlags = flags;
        status = AcquireCredentialsHandleW(nullptr, package, SECPKG_CRED_OUTBOUND, nullptr, &older,
                                           nullptr, nullptr, &handle, nullptr);
    }
    state.credentials.held = status == SEC_E_OK;
    return status;
}

}  // namespace

namespace tls_win32 {

ImportedKey::~ImportedKey() {
    HCRYPTPROV provider = 0;
    if (!container.empty()) {
        CryptAcquireContextW(&provider, container.c_str(),
                             this->provider.empty() ? nullptr : this->provider.c_str(), type,
                             CRYPT_DELETEKEYSET | flags);
    }
}

}  // namespace tls_win32

TlsCredentials::TlsCredentials(const config::TlsSettings& settings)
    : held(std::make_unique<State>()) {
    State& state = *held;
    if (!settings.ca_file.empty()) {
        state.ca_store = read_authorities(settings.ca_file);
    }
    if (!settings.key_file.empty()) {
        refuse("tls-key", settings.key_file,
               "PEM key files are not supported on Windows: give tls-cert a PFX (PKCS#12) file "
               "with both, or use tls-cert-thumbprint");
    }
    if (!settings.cert_file.empty() && !settings.cert_thumbprint.empty()) {
        throw SensorError("tls-cert and tls-cert-thumbprint: give one of them, not both");
    }
    if (!settings.cert_file.empty()) {
        read_pfx(state, settings);
    } else if (!settings.cert_thumbprint.empty()) {
        find_in_machine_store(state, settings.cert_thumbprint);
    }
    if (SECURITY_STATUS status = acquire(state); status != SEC_E_OK) {
        if (!settings.cert_file.empty()) {
            refuse("tls-cert", settings.cert_file, status_text(status));
        }
        if (!settings.cert_thumbprint.empty()) {
            refuse("tls-cert-thumbprint", settings.cert_thumbprint, status_text(status));
        }
        throw SensorError("AcquireCredentialsHandle() failed: " + status_text(status));
    }
}

TlsCredentials::~TlsCredentials() = default;

}  // namespace tarn::sensor
