// The certificate name rule of the Windows agent, against one table that OpenSSL's own checks
// (the Linux agent's) must also pass.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sensor/tls/certificate_names.hpp"

#if defined(_WIN32)
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <openssl/x509v3.h>
#endif

namespace tarn::sensor {
namespace {

using namespace std::string_literals;

struct Case {
    std::vector<std::string> dns_names, ip_addresses;  // addresses as text
    std::string common_name, expected;
    bool carried;
};

const Case cases[] = {
    {{"collector.example.com"}, {}, "", "collector.example.com", true},
    {{"Collector.Example.COM"}, {}, "", "collector.EXAMPLE.com", true},
    {{"collector.example.com\0.evil"s}, {}, "", "collector.example.com", false},
    {{"collector.example.com"}, {}, "", "collector.example.com.evil", false},
    {{"*.example.com"}, {}, "", "collector.example.com", true},
    {{"*.example.com"}, {}, "", "example.com", false},
    {{"*.example.com"}, {}, "", "a.collector.example.com", false},
    {{"a.*.example.com"}, {}, "", "a.b.example.com", false},
    {{"c*.example.com"}, {}, "", "collector.example.com", false},
    {{"*.com"}, {}, "", "example.com", false},
    {{}, {}, "collector.example.com", "collector.example.com", true},
    {{"other.example.com"}, {}, "collector.example.com", "collector.example.com", false},
    {{}, {"127.0.0.1"}, "", "127.0.0.1", true},
    {{}, {"127.0.0.2"}, "", "127.0.0.1", false},
    {{"127.0.0.1"}, {}, "127.0.0.1", "127.0.0.1", false},
    {{}, {"::1"}, "", "::1", true},
    {{}, {"::1"}, "", "0:0:0:0:0:0:0:1", true},
    {{}, {"127.0.0.1"}, "", "::ffff:127.0.0.1", false},
    {{}, {"2001:db8::7"}, "", "2001:db8::8", false},
    {{"::1"}, {}, "", "::1", false},
};

// An address's bytes, as the platform reads the literal.
std::string address_of(const std::string& text) {
    unsigned char bytes[16];
    if (inet_pton(AF_INET, text.c_str(), bytes) == 1) {
        return std::string(reinterpret_cast<char*>(bytes), 4);
    }
    if (inet_pton(AF_INET6, text.c_str(), bytes) == 1) {
        return std::string(reinterpret_cast<char*>(bytes), 16);
    }
    return "";
}

TEST(CertificateNames, OneTableForTheWindowsRule) {
    for (const Case& c : cases) {
        CertificateNames names{c.dns_names, {}, c.common_name};
        for (const std::string& text : c.ip_addresses) {
            names.ip_addresses.push_back(address_of(text));
        }
        EXPECT_EQ(c.carried, carries_name(names, c.expected, address_of(c.expected)))
            << c.expected << " in " << (c.dns_names.empty() ? c.common_name : c.dns_names[0]);
    }
}

#if !defined(_WIN32)
// The same table through a real certificate and OpenSSL's checks, as the Linux agent makes them.
TEST(CertificateNames, OneTableForOpenSsl) {
    for (const Case& c : cases) {
        X509* certificate = X509_new();
        if (!c.common_name.empty()) {
            X509_NAME_add_entry_by_txt(X509_get_subject_name(certificate), "CN", MBSTRING_ASC,
                                       reinterpret_cast<const unsigned char*>(c.common_name.data()),
                                       static_cast<int>(c.common_name.size()), -1, 0);
        }
        GENERAL_NAMES* alternatives = sk_GENERAL_NAME_new_null();
        for (const std::string& name : c.dns_names) {
            ASN1_IA5STRING* text = ASN1_IA5STRING_new();
            ASN1_STRING_set(text, name.data(), static_cast<int>(name.size()));
            GENERAL_NAME* entry = GENERAL_NAME_new();
            GENERAL_NAME_set0_value(entry, GEN_DNS, text);
            sk_GENERAL_NAME_push(alternatives, entry);
        }
        for (const std::string& address : c.ip_addresses) {
            GENERAL_NAME* entry = GENERAL_NAME_new();
            GENERAL_NAME_set0_value(entry, GEN_IPADD, a2i_IPADDRESS(address.c_str()));
            sk_GENERAL_NAME_push(alternatives, entry);
        }
        if (sk_GENERAL_NAME_num(alternatives) > 0) {
            X509_add1_ext_i2d(certificate, NID_subject_alt_name, alternatives, 0, 0);
        }
        GENERAL_NAMES_free(alternatives);
        const bool carried =
            address_of(c.expected).empty()
                ? X509_check_host(certificate, c.expected.data(), c.expected.size(),
                                  X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS, nullptr) == 1
                : X509_check_ip_asc(certificate, c.expected.c_str(), 0) == 1;
        EXPECT_EQ(c.carried, carried) << c.expected;
        X509_free(certificate);
    }
}
#endif

}  // namespace
}  // namespace tarn::sensor
