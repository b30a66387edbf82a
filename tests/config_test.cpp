// Configuration: key and value cut from lines of at most 4095 bytes; the settings, logged.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <fstream>

#include "config/settings.hpp"
#include "config/target_address.hpp"
#include "error/error.hpp"
#include "log_capture.hpp"
#include "support/threads.hpp"

#if !defined(_WIN32)
#include <arpa/inet.h>
#endif

namespace tarn::config {
namespace {

ConfigStore loaded(const std::string& bytes) {
    auto path = std::filesystem::temp_directory_path() /
                ("tarn-config-" + std::to_string(current_process_id()) + ".conf");
    std::ofstream(path, std::ios::binary) << bytes;
    ConfigStore store;
    store.load(path.string().c_str());
    return store;
}

TEST(ConfigStore, LinesFileOrderCaseNulsAndLongLines) {
    const std::pair<const char*, const char*> lines[] = {
        // line, "key=value" or nothing
        {"  Target   10.0.0.1:9000  30   # primary\n", "target=10.0.0.1:9000  30"},
        {"\v\fkey\r\v value \f\r\n", "key=value"},
        {"key a b#c d\n", "key=a b"},
        {"queue-size = 1000\n", "queue-size== 1000"},
        {"   #key value\n", ""},
        {"K\xC4Y\xA0V \xA0value\xA0 x\n", "k\xC4y\xA0v=\xA0value\xA0 x"}};  // high bytes: no blanks
    for (const auto& [line, expected] : lines) {
        auto entry = ConfigStore::parse_line(line);
        EXPECT_EQ(expected, entry ? entry->key + "=" + entry->value : "") << line;
    }
    ConfigStore store = loaded(
        "target 10.0.0.1\nQueue-Size 1000\r\nTARGET 10.0.0.2:9000 30\r\nqueue-size "
        "2000\nlogging\n" +
        std::string("key value\0hidden words\n\0whole line hidden\n", 42) + "first " +
        std::string(4093, 'a') + " last 1\n");
    EXPECT_EQ((std::vector<std::string>{"10.0.0.1", "10.0.0.2:9000 30"}), store.get_all("target"));
    EXPECT_STREQ("10.0.0.1", store.get("target"));
    EXPECT_STREQ("1000", store.get("queue-size"));
    EXPECT_STREQ("", store.get("logging"));
    EXPECT_STREQ("value", store.get("key"));
    for (const char* absent : {"Target", "targe", "targets", "hidden", "whole"}) {
        EXPECT_EQ(nullptr, store.get(absent)) << absent;
    }
    // Read in pieces of 4095 bytes: the rest of a longer line is a line of its own.
    EXPECT_EQ(std::string(4089, 'a'), store.get("first"));
    EXPECT_STREQ("last 1", store.get("aaaa"));
    // A failed load names the path and the system's text, and leaves nothing of the last one.
    std::string missing = (std::filesystem::temp_directory_path() / "tarn-no" / "a").string();
    try {
        store.load(missing.c_str());
        ADD_FAILURE() << "a missing file was loaded";
    } catch (const ConfigError& failure) {
        EXPECT_EQ("fopen(" + missing + ") failed: " + error::system_error_text(2), failure.what());
    }
    EXPECT_TRUE(store.get_all("target").empty());
}

TEST(Settings, TakenFromTheFirstLineAndLogged) {
    const std::string q = "Config: queue-size = ", t = "Config: target = ip:",
                      v6 = "Config: ipv6-clients = ";
    const std::pair<std::string, std::vector<std::string>> cases[] = {
        {"logging on\n", {q + "104857600", v6 + "off"}},
        {"queue-size 0\nqueue-size 2000\nIPv6-Clients on # v6\nipv6-clients off\n",
         {q + "104857600", v6 + "on"}},
        {"queue-size 1000 bytes\nqueue-size 2000\nipv6-clients ON\nipv6-clients on\n",
         {q + "1000",
          "ERROR - Config: line \"ipv6-clients ON\" not used: the value is on or off; off is used",
          v6 + "off"}},
        {"QUEUE-SIZE -1\nipv6-clients on on\n",
         {q + "4294967295",
          "ERROR - Config: line \"ipv6-clients on on\" not used: the value is on or off; off is "
          "used",
          v6 + "off"}},
        // Targets: the first colon ends the address, the first word after it is the time-out;
        // port and time-out as a 32-bit atol gives them, 0 or nothing for the default; the
        // port's low 16 bits.
        {"target 10.1.2.3\nTarget 10.1.2.3:9000\t  30 40\ntarget 10.1.2.3 30:40\n"
         "target 10.9.9.9:1:2\ntarget 10.9.9.9:http never\ntarget 10.9.9.9:65537 0\n"
         "target 10.9.9.9:65536 -1\ntarget 10.9.9.9:-1 4294967295\n"
         "target 10.9.9.9:99999999999999999999 12s\n"
         "target 10.9.9.9:-99999999999999999999 -99999999999\ntarget 10.9.9.9: 9000\n",
         {q + "104857600", v6 + "off", t + "10.1.2.3 port:8100 timeout:5",
          t + "10.1.2.3 port:9000 timeout:30",
          "ERROR - Config: line \"target 10.1.2.3 30:40\" not used: \"10.1.2.3 30\" is not a "
          "dotted-quad IPv4 address",
          t + "10.9.9.9 port:1 timeout:5", t + "10.9.9.9 port:8100 timeout:5",
          t + "10.9.9.9 port:1 timeout:5", t + "10.9.9.9 port:8100 timeout:4294967295",
          t + "10.9.9.9 port:65535 timeout:2147483647", t + "10.9.9.9 port:65535 timeout:12",
          t + "10.9.9.9 port:8100 timeout:2147483648", t + "10.9.9.9 port:9000 timeout:9000"}},
        // Only dotted-quad addresses are used; each other line is said, and so is an empty list.
        {"target 10.1.2\ntarget 10.1.2.3:9000\ntarget dns1.example 30\n",
         {q + "104857600", v6 + "off",
          "ERROR - Config: line \"target 10.1.2\" not used: \"10.1.2\" is not a dotted-quad "
          "IPv4 address",
          t + "10.1.2.3 port:9000 timeout:5",
          "ERROR - Config: line \"target dns1.example 30\" not used: \"dns1.example\" is not "
          "a dotted-quad IPv4 address"}},
        {"target 0x7f.1\n",
         {q + "104857600", v6 + "off",
          "ERROR - Config: line \"target 0x7f.1\" not used: \"0x7f.1\" is not a dotted-quad "
          "IPv4 address",
          "ERROR - Config: no target left: records stay in the queue until the configuration "
          "names a collector"}}};
    for (auto [text, expected] : cases) {
        queue_size = 104857600;
        target_list.clear();
        ConfigStore store = loaded(text);
        test::LogCapture log;
        apply_settings(store);
        std::vector<std::string> listed = {q + std::to_string(queue_size),
                                           v6 + (ipv6_clients ? "on" : "off")};
        for (const Target& x : target_list) {
            listed.push_back(t + x.ip + " port:" + std::to_string(x.port) +
                             " timeout:" + std::to_string(x.timeout));
        }
        EXPECT_EQ(expected, log.lines()) << text;
        expected.erase(
            std::remove_if(expected.begin(), expected.end(),
                           [](const std::string& line) { return line.rfind("ERROR - ", 0) == 0; }),
            expected.end());
        EXPECT_EQ(expected, listed) << text;
    }
}

// The address rule is inet_pton's, never inet_addr's: "10.1.2" and a host name would otherwise
// reach a wrong address. Installer items are target values written strictly.
TEST(TargetAddress, DottedQuadOnlyAndStrictInstallerItems) {
    const std::pair<const char*, bool> addresses[] = {{"10.1.2.3", true},
                                                      {"0.0.0.0", true},
                                                      {"255.255.255.255", true},
                                                      {"10.1.2", false},
                                                      {"1.2.3.4.5", false},
                                                      {"256.1.1.1", false},
                                                      {" 10.1.2.3", false},
                                                      {"10.1.2.3 ", false},
                                                      {"dns1.example", false},
                                                      {"0x7f.1", false},
                                                      {"", false},
                                                      {"10.01.2.3", false},
                                                      {"1..2.3", false},
                                                      {"1.2.3.", false},
                                                      {"-1.2.3.4", false},
                                                      {"+1.2.3.4", false},
                                                      {"1.2.3.4294967297", false}};
    for (const auto& [text, expected] : addresses) {
        EXPECT_EQ(expected, is_ipv4_address(text)) << text;
#if !defined(_WIN32)
        in_addr parsed{};
        EXPECT_EQ(expected, inet_pton(AF_INET, text, &parsed) == 1) << "inet_pton: " << text;
#endif
    }
    const std::string address = "the address is not a dotted-quad IPv4 address",
                      port = "the port is not a number from 1 to 65535",
                      timeout = "the time-out is not a number of seconds from 1 to 4294967295";
    const std::pair<const char*, std::string> items[] = {{"10.1.2.3", ""},
                                                         {"10.1.2.3:8100", ""},
                                                         {"10.1.2.3:65535  30", ""},
                                                         {"10.1.2.3 4294967295", ""},
                                                         {"10.1.2", address},
                                                         {"dns1.example:8100", address},
                                                         {"10.1.2.3,10.1.2.4", address},
                                                         {"", address},
                                                         {"10.1.2.3:0", port},
                                                         {"10.1.2.3:65536", port},
                                                         {"10.1.2.3:", port},
                                                         {"10.1.2.3:80x", port},
                                                         {"10.1.2.3:080", port},
                                                         {"10.1.2.3 0", timeout},
                                                         {"10.1.2.3 ", timeout},
                                                         {"10.1.2.3 4294967296", timeout},
                                                         {"10.1.2.3 5\" & calc", timeout},
                                                         {"10.1.2.3 5 6", timeout},
                                                         {"10.1.2.3\t5", address}};
    for (const auto& [item, expected] : items) {
        EXPECT_EQ(expected, target_item_problem(item)) << item;
    }
}

// ETW's buffers: only values ETW could take are kept; every other line is said, and ETW's
// choice stays.
TEST(Settings, EtwBuffersInRangeOrSaid) {
    const std::string size = "ERROR - Config: line \"etw-buffer-size ",
                      size_why = "\" not used: kilobytes from 4 to 16384 are wanted; 128 is used",
                      buffers = "ERROR - Config: line \"etw-buffers ",
                      buffers_why =
                          "\" not used: two numbers, the least and the most buffers, 1 <= least "
                          "<= most, are wanted; ETW's choice is used";
    const struct {
        const char* text;
        std::array<uint32_t, 3> kept;
        std::vector<std::string> refused;
    } cases[] = {
        {"etw-buffer-size 16384\netw-buffers 64 512\n", {16384, 64, 512}, {}},
        {"etw-buffer-size 4 \netw-buffers\t 8\t8 \n", {4, 8, 8}, {}},
        {"etw-buffer-size 3\netw-buffers 512 64\n",
         {0, 0, 0},
         {size + "3" + size_why, buffers + "512 64" + buffers_why}},
        {"etw-buffer-size 16385\netw-buffers 64\n",
         {0, 0, 0},
         {size + "16385" + size_why, buffers + "64" + buffers_why}},
        {"etw-buffer-size 2048 KB\netw-buffers 64 512 more\n",
         {0, 0, 0},
         {size + "2048 KB" + size_why, buffers + "64 512 more" + buffers_why}},
        {"etw-buffers 0 5\netw-buffers 4 5\n", {0, 0, 0}, {buffers + "0 5" + buffers_why}},
        {"etw-buffers 1 4294967296\n", {0, 0, 0}, {buffers + "1 4294967296" + buffers_why}}};
    for (const auto& c : cases) {
        etw_buffers = {};
        test::LogCapture log;
        apply_settings(loaded(c.text));
        EXPECT_EQ(c.kept, (std::array<uint32_t, 3>{etw_buffers.size_kb, etw_buffers.minimum,
                                                   etw_buffers.maximum}))
            << c.text;
        std::vector<std::string> refused;
        for (const std::string& line : log.lines()) {
            if (line.rfind("ERROR - ", 0) == 0) {
                refused.push_back(line);
            }
        }
        EXPECT_EQ(c.refused, refused) << c.text;
    }
    etw_buffers = {};
    target_list.clear();
}

// TLS: "on" or "off", anything else refused rather than taken as plaintext; keys of an unused
// TLS said once; a thumbprint is 40 hex digits, separators dropped, or nothing.
TEST(Settings, TlsKeys) {
    const std::string hex = "0a1B2c3D4e5F60718293a4B5c6D7e8F901234567";
    const std::pair<std::string, std::string> cases[] = {
        {"tls on\ntls-ca /c a.pem\ntls-cert a.pem\ntls-key a.key\ntls-server-name c.test\n",
         "1|/c a.pem|a.pem|a.key|c.test|| Config: tls = on, ca:/c a.pem cert:a.pem key:a.key "
         "server-name:c.test thumbprint:"},
        {"tls off\ntls-cert-password p w\ntls-cert-thumbprint " + hex.substr(0, 20) + ":" +
             hex.substr(20, 10) + " " + hex.substr(30) + "\ntls-ca x\n",
         "0|x||||p w|0A1B2C3D4E5F60718293A4B5C6D7E8F901234567 Config: tls-ca, tls-cert-password, "
         "tls-cert-thumbprint unused: tls is not on"},
        {"tls-cert-thumbprint " + hex.substr(1) + "g\n",
         "0|||||| ERROR - Config: tls-cert-thumbprint " + hex.substr(1) +
             "g is not 40 hexadecimal digits Config: tls-cert-thumbprint unused: tls is not on"},
        {"tls On\ntls-ca a.pem\n",
         "Config: tls \"On\" is neither on nor off: nothing is sent until it is one of them"},
        {"tls yes\n",
         "Config: tls \"yes\" is neither on nor off: nothing is sent until it is one of them"}};
    for (const auto& [text, expected] : cases) {
        test::LogCapture log;
        std::string got;
        try {
            apply_settings(loaded(text));
            const TlsSettings& t = tls_settings;
            got = std::to_string(t.on) + "|" + t.ca_file + "|" + t.cert_file + "|" + t.key_file +
                  "|" + t.server_name + "|" + t.cert_password + "|" + t.cert_thumbprint;
            for (const std::string& line : log.lines()) {
                got += line.find("tls") != std::string::npos ? " " + line : "";
            }
        } catch (const ConfigError& failure) {
            got = failure.what();
        }
        EXPECT_EQ(expected, got) << text;
    }
    tls_settings = {};
    target_list.clear();
}

}  // namespace
}  // namespace tarn::config
