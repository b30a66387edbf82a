#pragma once

#include <string>
#include <string_view>
#include <vector>

// Whether a collector's certificate is for what the agent expects: the rule of OpenSSL's
// X509_check_host and X509_check_ip_asc, which the Linux agent uses, as plain logic for the
// Windows agent, which reads the names with crypt32.
namespace tarn::sensor {

// What a certificate says it is for, as the bytes it holds: an embedded NUL stays in a name.
struct CertificateNames {
    std::vector<std::string> dns_names;     // subject alternative dNSName entries
    std::vector<std::string> ip_addresses;  // subject alternative iPAddress entries: 4 or 16 bytes
    std::string common_name;                // the subject's, empty when it has none
};

// expected is tls-server-name, or the target's address; address is its 4 or 16 bytes when it is
// an IPv4 or IPv6 literal, else empty. A literal matches an IP-address entry of the same bytes
// and nothing else. A name matches a DNS name byte for byte, case aside, where a leading "*."
// stands for exactly one whole first label, never for the last two; the common name counts only
// when the certificate has no DNS name.
bool carries_name(const CertificateNames& names, std::string_view expected,
                  std::string_view address);

}  // namespace tarn::sensor
