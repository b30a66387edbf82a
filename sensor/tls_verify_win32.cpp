#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "error/error.hpp"
#include "sensor/tls_win32.hpp"

// The collector's certificate checked by the agent itself with crypt32: SChannel runs with
// manual validation, and under Wine its own checks accept anything.
namespace tarn::sensor::tls_win32 {

namespace {

constexpr char certificate_is[] = "the collector's certificate ";

// Status bits that say nothing about trust: revocation is not asked for (a private authority
// rarely publishes a reachable list).
constexpr DWORD ignored_status = CERT_TRUST_REVOCATION_STATUS_UNKNOWN |
                                 CERT_TRUST_IS_OFFLINE_REVOCATION | CERT_TRUST_IS_NOT_TIME_NESTED;

[[noreturn]] void refuse(const std::string& why) {
    throw SensorError(certificate_is + why);
}

void check_time(const CERT_CONTEXT* certificate) {
    const LONG when = CertVerifyTimeValidity(nullptr, certificate->pCertInfo);
    if (when != 0) {
        throw SensorError(when > 0 ? tls_words::expired : tls_words::not_yet_valid);
    }
}

bool same_certificate(const CERT_CONTEXT* a, const CERT_CONTEXT* b) {
    return a->cbCertEncoded == b->cbCertEncoded &&
           std::memcmp(a->pbCertEncoded, b->pbCertEncoded, a->cbCertEncoded) == 0;
}

bool in_store(void* store, const CERT_CONTEXT* wanted) {
    for (const CERT_CONTEXT* found = nullptr;
         (found = CertEnumCertificatesInStore(store, found)) != nullptr;) {
        if (same_certificate(found, wanted)) {
            CertFreeCertificateContext(found);
            return true;
        }
    }
    return false;
}

void check_trust(const CERT_CONTEXT* certificate, void* ca_store) {
    // The authorities and what the collector sent beside its certificate, searched together.
    CertStore search(
        CertOpenStore(CERT_STORE_PROV_COLLECTION, 0, 0, CERT_STORE_CREATE_NEW_FLAG, nullptr));
    if (!search) {
        error::throw_failure<SensorError>("CertOpenStore()", GetLastError());
    }
    if (ca_store != nullptr) {
        CertAddStoreToCollection(search.get(), ca_store, 0, 0);
    }
    if (certificate->hCertStore != nullptr) {
        CertAddStoreToCollection(search.get(), certificate->hCertStore, 0, 0);
    }
    CERT_CHAIN_PARA para{};
    para.cbSize = sizeof para;
    LPSTR server_use = const_cast<LPSTR>(szOID_PKIX_KP_SERVER_AUTH);
    para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    para.RequestedUsage.Usage.cUsageIdentifier = 1;
    para.RequestedUsage.Usage.rgpszUsageIdentifier = &server_use;
    const CERT_CHAIN_CONTEXT* built = nullptr;
    if (!CertGetCertificateChain(nullptr, certificate, nullptr, search.get(), &para, 0, nullptr,
                                 &built)) {
        error::throw_failure<SensorError>("CertGetCertificateChain()", GetLastError());
    }
    Chain chain(built);
    DWORD status = chain->TrustStatus.dwErrorStatus & ~ignored_status;
    if (chain->cChain == 0 || chain->rgpChain[0]->cElement == 0) {
        throw SensorError(tls_words::untrusted);
    }
    const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[0];
    const CERT_CONTEXT* root = simple->rgpElement[simple->cElement - 1]->pCertContext;
    if (ca_store != nullptr) {
        // The configured authority stands in for the system's roots, and only it.
        if (!in_store(ca_store, root)) {
            throw SensorError(tls_words::untrusted);
        }
        status &= ~CERT_TRUST_IS_UNTRUSTED_ROOT;
    }
    if (status & (CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_PARTIAL_CHAIN |
                  CERT_TRUST_IS_NOT_SIGNATURE_VALID | CERT_TRUST_IS_CYCLIC)) {
        throw SensorError(tls_words::untrusted);
    }
    if (status & CERT_TRUST_IS_NOT_TIME_VALID) {
        check_time(certificate);
        throw SensorError(
            "the authority of the collector's certificate has expired or is not valid yet (check "
            "the clocks)");
    }
    if (status & CERT_TRUST_IS_NOT_VALID_FOR_USAGE) {
        refuse("is not for a server (its extended key usage lacks serverAuth)");
    }
    if (status != 0) {
        char hex[16];
        std::snprintf(hex, sizeof hex, "0x%08lx", static_cast<unsigned long>(status));
        refuse(std::string("was refused: chain status ") + hex);
    }
}

bool equal_ignoring_case(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

// A leading "*." stands for exactly one label, and never for the last two.
bool name_matches(const std::string& pattern, const std::string& name) {
    if (pattern.size() > 2 && pattern.compare(0, 2, "*.") == 0) {
        const std::string suffix = pattern.substr(1);  // ".example.com"
        size_t dot = name.find('.');
        return suffix.find('.', 1) != std::string::npos && dot != std::string::npos && dot > 0 &&
               equal_ignoring_case(name.substr(dot), suffix);
    }
    return equal_ignoring_case(pattern, name);
}

std::string narrow(const wchar_t* text) {
    std::string result;
    for (; text != nullptr && *text != 0; ++text) {
        result += *text < 0x80 ? static_cast<char>(*text) : '?';  // names are ASCII (IDNA)
    }
    return result;
}

bool carries_name(const CERT_CONTEXT* certificate, const std::string& expected) {
    in_addr address{};
    const bool is_address = InetPtonA(AF_INET, expected.c_str(), &address) == 1;
    const CERT_INFO* info = certificate->pCertInfo;
    const CERT_EXTENSION* extension =
        CertFindExtension(szOID_SUBJECT_ALT_NAME2, info->cExtension, info->rgExtension);
    bool any_dns_name = false;
    if (extension != nullptr) {
        CERT_ALT_NAME_INFO* decoded = nullptr;
        DWORD size = 0;
        if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, extension->Value.pbData,
                                 extension->Value.cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr,
                                 &decoded, &size)) {
            refuse("has subject alternative names that cannot be read");
        }
        LocalMemory<CERT_ALT_NAME_INFO> names(decoded);
        for (DWORD i = 0; i < names->cAltEntry; ++i) {
            const CERT_ALT_NAME_ENTRY& entry = names->rgAltEntry[i];
            if (is_address && entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS &&
                entry.IPAddress.cbData == sizeof address &&
                std::memcmp(entry.IPAddress.pbData, &address, sizeof address) == 0) {
                return true;
            }
            if (entry.dwAltNameChoice == CERT_ALT_NAME_DNS_NAME) {
                any_dns_name = true;
                if (!is_address && name_matches(narrow(entry.pwszDNSName), expected)) {
                    return true;
                }
            }
        }
    }
    if (is_address || any_dns_name) {
        return false;
    }
    // No DNS name among the alternatives: the subject's common name, as OpenSSL does.
    wchar_t common_name[256] = {};
    CertGetNameStringW(certificate, CERT_NAME_ATTR_TYPE, 0, const_cast<char*>(szOID_COMMON_NAME),
                       common_name, 256);
    return equal_ignoring_case(narrow(common_name), expected);
}

}  // namespace

std::string status_text(int32_t status) {
    std::string text = error::system_error_text(status);
    while (!text.empty() &&
           (std::isspace(static_cast<unsigned char>(text.back())) != 0 || text.back() == '.')) {
        text.pop_back();
    }
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08lx", static_cast<unsigned long>(status));
    if (text.rfind("Unknown error", 0) == 0) {
        return std::string("error ") + hex;
    }
    // SChannel's and crypt32's codes are looked up by their hex form; Win32 ones are not.
    return static_cast<uint32_t>(status) > 0xffff ? text + " (" + hex + ")" : text;
}

void verify_collector(const CERT_CONTEXT* certificate, void* ca_store,
                      const std::string& expected) {
    check_trust(certificate, ca_store);
    check_time(certificate);  // the chain's time check under Wine is not to be relied on alone
    if (!carries_name(certificate, expected)) {
        throw SensorError(tls_words::not_for(expected));
    }
}

}  // namespace tarn::sensor::tls_win32
