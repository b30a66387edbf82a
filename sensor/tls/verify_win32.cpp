#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "error/error.hpp"
#include "sensor/tls/certificate_names.hpp"
#include "sensor/tls/schannel_win32.hpp"

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
    // From what is at hand only: a presented certificate's issuer URLs must not send the
    // delivery thread to the network, past its time-out and its stop.
    if (!CertGetCertificateChain(nullptr, certificate, nullptr, search.get(), &para,
                                 CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL, nullptr, &built)) {
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
        throw SensorError(tls_words::not_for_server);
    }
    if (status != 0) {
        char hex[16];
        std::snprintf(hex, sizeof hex, "0x%08lx", static_cast<unsigned long>(status));
        refuse(std::string("was refused: chain status ") + hex);
    }
}

// The subject alternative names as their bytes. crypt32 hands a dNSName over as a
// NUL-terminated string, which would end at a NUL inside it: the names are encoded again and
// must come out as they came in, or the certificate is refused.
void read_alternative_names(const CERT_EXTENSION& extension, CertificateNames& names) {
    CERT_ALT_NAME_INFO* decoded = nullptr;
    DWORD size = 0;
    if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, extension.Value.pbData,
                             extension.Value.cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr, &decoded,
                             &size)) {
        refuse("has subject alternative names that cannot be read");
    }
    LocalMemory<CERT_ALT_NAME_INFO> alternatives(decoded);
    BYTE* encoded = nullptr;
    if (!CryptEncodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, decoded,
                             CRYPT_ENCODE_ALLOC_FLAG, nullptr, &encoded, &size)) {
        refuse("has subject alternative names that cannot be read");
    }
    LocalMemory<BYTE> again(encoded);
    if (size != extension.Value.cbData || std::memcmp(encoded, extension.Value.pbData, size) != 0) {
        refuse("has a subject alternative name with a NUL or an encoding crypt32 changes");
    }
    for (DWORD i = 0; i < alternatives->cAltEntry; ++i) {
        const CERT_ALT_NAME_ENTRY& entry = alternatives->rgAltEntry[i];
        if (entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS) {
            names.ip_addresses.emplace_back(reinterpret_cast<const char*>(entry.IPAddress.pbData),
                                            entry.IPAddress.cbData);
        } else if (entry.dwAltNameChoice == CERT_ALT_NAME_DNS_NAME) {
            std::string name;
            for (const wchar_t* unit = entry.pwszDNSName; *unit != 0; ++unit) {
                name += *unit < 0x80 ? static_cast<char>(*unit) : '\xff';  // names are ASCII (IDNA)
            }
            names.dns_names.push_back(name);
        }
    }
}

// The subject's common name as the bytes it holds, NULs included.
std::string common_name_of(const CERT_CONTEXT* certificate) {
    CERT_NAME_INFO* decoded = nullptr;
    DWORD size = 0;
    const CERT_NAME_BLOB& subject = certificate->pCertInfo->Subject;
    if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_NAME, subject.pbData, subject.cbData,
                             CRYPT_DECODE_ALLOC_FLAG, nullptr, &decoded, &size)) {
        return "";
    }
    LocalMemory<CERT_NAME_INFO> name(decoded);
    const CERT_RDN_ATTR* common = CertFindRDNAttr(szOID_COMMON_NAME, decoded);
    return common == nullptr ? ""
                             : std::string(reinterpret_cast<const char*>(common->Value.pbData),
                                           common->Value.cbData);
}

CertificateNames names_of(const CERT_CONTEXT* certificate) {
    CertificateNames names;
    const CERT_INFO* info = certificate->pCertInfo;
    if (const CERT_EXTENSION* extension =
            CertFindExtension(szOID_SUBJECT_ALT_NAME2, info->cExtension, info->rgExtension)) {
        read_alternative_names(*extension, names);
    }
    names.common_name = common_name_of(certificate);
    return names;
}

}  // namespace

std::string address_bytes(const std::string& text) {
    in_addr v4{};
    in6_addr v6{};
    if (InetPtonA(AF_INET, text.c_str(), &v4) == 1) {
        return std::string(reinterpret_cast<const char*>(&v4), sizeof v4);
    }
    if (InetPtonA(AF_INET6, text.c_str(), &v6) == 1) {
        return std::string(reinterpret_cast<const char*>(&v6), sizeof v6);
    }
    return "";
}

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
    if (!carries_name(names_of(certificate), expected, address_bytes(expected))) {
        throw SensorError(tls_words::not_for(expected));
    }
}

}  // namespace tarn::sensor::tls_win32
