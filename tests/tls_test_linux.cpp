// TLS delivery against peers nobody here wrote (openssl s_server) and against the collector, with
// certificates made at test time by scripts/test-certs.sh.
#include <cstdio>

#include "dnstap_harness_linux.hpp"
#include "tls_harness.hpp"

namespace tarn::sensor {
namespace {

const std::string& certs() {
    static test::TempDir dir;
    static int made =
        std::system(("bash " TARN_SOURCE_DIR "/scripts/test-certs.sh " + dir.path).c_str());
    EXPECT_EQ(0, made);
    return dir.path;
}

bool listening(uint16_t port) {  // a listening socket on the port, from /proc/net/tcp
    char wanted[16];
    std::snprintf(wanted, sizeof wanted, ":%04X", port);
    std::ifstream table("/proc/net/tcp");
    for (std::string local, remote, state; table >> local >> local >> remote >> state;) {
        if (local.size() > 5 && local.substr(local.size() - 5) == wanted && state == "0A") {
            return true;
        }
        std::getline(table, local);
    }
    return false;
}

// openssl s_server on a free port, run by a shell from the certificate directory; "SERVER"
// in script stands for the command with the collector's certificate and key (name).
struct Peer {
    Peer(const std::string& name, const std::string& script)
        : child({"/bin/sh", "-c",
                 "cd " + certs() + " && mkfifo in" + std::to_string(port) + " && " +
                     expand(script, name)}) {
        EXPECT_TRUE(eventually([&] { return listening(port); }, 10));
    }
    std::string expand(std::string script, const std::string& name) const {
        std::string server = "timeout 60 openssl s_server -quiet -naccept 1 -accept 127.0.0.1:" +
                             std::to_string(port) + " -cert " + name + ".pem -key " + name +
                             ".key <>in" + std::to_string(port);
        for (size_t at; (at = script.find("SERVER")) != std::string::npos;) {
            script.replace(at, 6, server);
        }
        return script;
    }
    uint16_t port = test::unused_port();
    test::Child child;
};

config::TlsSettings agent_tls(bool with_certificate = true) {
    config::TlsSettings tls;
    tls.on = true;
    tls.ca_file = certs() + "/ca.pem";
    tls.cert_file = with_certificate ? certs() + "/agent.pem" : "";
    tls.key_file = with_certificate ? certs() + "/agent.key" : "";
    return tls;
}

// Also from a TLS 1.3 collector that sends no session ticket: its silence after the handshake
// is its acceptance of the agent's certificate.
TEST(Tls, MutualTlsStreamIsByteIdenticalToPlain) {
    const std::vector<Bytes> records = {record_of(40, 1), record_of(65535, 2), record_of(300, 3),
                                        record_of(20000, 4)};
    const Bytes expected = stream_of(records);
    for (const std::string options : {"", " -tls1_3 -num_tickets 0"}) {
        const std::string out = certs() + "/same" + std::to_string(options.size()) + ".bin";
        Peer peer("collector",
                  "SERVER -Verify 1 -verify_return_error -CAfile ca.pem" + options + " >" + out);
        Delivery delivery(agent_tls(), peer.port, records);
        EXPECT_TRUE(eventually([&] { return file_size(out) >= expected.size(); }, 20)) << options;
        EXPECT_EQ(expected, file_bytes(out)) << options;
        EXPECT_EQ("", first_error(delivery.log)) << options;
    }
}

// The slow link at about 300 KB/s: one that keeps moving, then one that stalls.
TEST(Tls, SlowLinkMovesOnAndAStalledOneLosesAndRepeatsNothing) {
    for (int stall : {0, 150000}) {
        const uint16_t port = test::unused_port();
        const std::string dir = certs();
        std::filesystem::remove(dir + "/connection-0.bin");
        std::filesystem::remove(dir + "/connection-1.bin");
        test::Child reader({"/usr/bin/python3", TARN_SOURCE_DIR "/tests/slow_tls_reader.py", dir,
                            std::to_string(port), "300000", std::to_string(stall),
                            stall == 0 ? "1" : "2"});
        ASSERT_TRUE(eventually([&] { return listening(port); }, 10));
        check_slow_link(agent_tls(), dir, port, stall);
    }
}

// Refused collectors, and agent keys that cannot be used: the line says why, nothing leaves.
TEST(Tls, RefusedCollectorsGetNothing) {
    const std::string dir = certs() + "/", failed = "ERROR - Connect to 127.0.0.1:";
    const struct {
        const char* server;  // s_server's certificate and options
        std::string key_file, line;
    } cases[] = {
        {"other-ca", "", "the collector's certificate is not from a trusted authority (tls-ca)"},
        {"expired", "", "the collector's certificate has expired"},
        {"other-ip", "",
         "the collector's certificate is not for 127.0.0.1 (set tls-server-name "
         "to the name it carries)"},
        {"client-only", "",
         "the collector's certificate is not for a server (its extended key usage lacks "
         "serverAuth)"},
        {"future", "", "the collector's certificate is not valid yet (check the clocks)"},
        {"collector -tls1_2 -cipher NULL-SHA256@SECLEVEL=0", "",
         "no TLS version or cipher in common with the collector (the agent takes 1.2 and 1.3)"},
        {"collector", dir + "missing.key",
         "cannot use tls-key " + dir + "missing.key: No such file or directory"},
        {"collector", dir + "collector.key",
         "cannot use tls-key " + dir + "collector.key: not the key of the certificate in tls-cert"},
        {"collector", dir + "encrypted.key",
         "cannot use tls-key " + dir +
             "encrypted.key: the key is encrypted: give it unencrypted (openssl pkey -in KEY -out "
             "NEW), readable only by the agent's account"}};
    std::vector<std::unique_ptr<Peer>> peers;
    std::vector<std::unique_ptr<Delivery>> deliveries;
    for (const auto& c : cases) {
        config::TlsSettings tls = agent_tls();
        tls.key_file = c.key_file.empty() ? tls.key_file : c.key_file;
        const std::string server = c.server, out = " >refused" + std::to_string(peers.size());
        const size_t space = std::min(server.find(' '), server.size());
        peers.push_back(std::make_unique<Peer>(server.substr(0, space),
                                               "SERVER" + server.substr(space) + out + ".bin"));
        deliveries.push_back(std::make_unique<Delivery>(tls, peers.back()->port,
                                                        std::vector<Bytes>{record_of(50, 1)}));
    }
    for (size_t i = 0; i < std::size(cases); ++i) {
        const std::string port = std::to_string(peers[i]->port), line = cases[i].line;
        EXPECT_TRUE(deliveries[i]->log.wait_for(failed + port + " failed: " + line)) << line;
        if (!cases[i].key_file.empty()) {  // said at start too
            EXPECT_TRUE(deliveries[i]->log.wait_for("ERROR - TLS: " + line));
        }
        deliveries[i].reset();
        EXPECT_EQ(Bytes{}, file_bytes(dir + "refused" + std::to_string(i) + ".bin"));
    }
}

// The collector serves an agent with a certificate from its authority, under the certificate's
// subject, and refuses one without, expired, for servers only or from another authority, with
// one line on each side; it resumes sessions.
TEST(Tls, CollectorRequiresAnAgentCertificate) {
    const std::string dir = certs() + "/";
    const uint16_t port = test::unused_port();
    test::Child collector({"/bin/sh", "-c",
                           "cd " + dir +
                               " && exec " TARN_COLLECTOR_BINARY
                               " --tls-cert collector.pem --tls-key "
                               "collector.key --tls-client-ca ca.pem --port " +
                               std::to_string(port) + " >" + dir + "collector.out 2>&1"});
    ASSERT_TRUE(eventually([&] { return listening(port); }, 10));
    Delivery without(agent_tls(false), port, {record_of(50, 1)});
    EXPECT_TRUE(without.log.wait_for("ERROR - Connect to 127.0.0.1:" + std::to_string(port) +
                                     " failed: the collector requires a client certificate (set "
                                     "tls-cert and tls-key)"));
    Delivery with(agent_tls(), port, {record_of(50, 2), record_of(60, 3)});
    const std::string subject = "\"subject\":\"CN=agent,O=sabrel\"",
                      refused =
                          ": TLS handshake failed: error:0A0000C7:SSL routines::peer did "
                          "not return a certificate; connection dropped\n";
    std::string out;
    auto count = [&](const std::string& text) {  // in the collector's output as it is now
        const Bytes bytes = file_bytes(dir + "collector.out");
        out.assign(bytes.begin(), bytes.end());
        size_t found = 0;
        for (size_t at = 0; (at = out.find(text, at)) != std::string::npos; ++at) {
            ++found;
        }
        return found;
    };
    // The version and the two records with the subject; one line for the refused agent.
    EXPECT_TRUE(eventually([&] { return count(subject) == 3 && count(refused) == 1; }, 10)) << out;
    // Agents the collector refuses, each with one line on both sides; none delivers a record.
    const std::pair<std::string, std::string> strangers[] = {
        {"agent-expired", "certificate has expired"},
        {"agent-server", "unsuitable certificate purpose"},
        {"agent-other", "unable to get local issuer certificate"}};
    for (const auto& stranger_case : strangers) {
        const std::string &name = stranger_case.first, &why = stranger_case.second;
        config::TlsSettings tls = agent_tls();
        tls.cert_file = dir + name + ".pem";
        tls.key_file = dir + name + ".key";
        Delivery stranger(tls, port, {record_of(70, 9)});
        EXPECT_TRUE(stranger.log.wait_for("ERROR - Connect to 127.0.0.1:" + std::to_string(port) +
                                              " failed: the collector did not accept the agent's "
                                              "certificate: ",
                                          true))
            << name;
        EXPECT_TRUE(eventually(
            [&] { return count(": TLS handshake failed: agent certificate refused: " + why) >= 1; },
            10))
            << out;
    }
    EXPECT_EQ(3u, count("\"subject\":")) << "a refused agent's record was written";
    // A session resumed with the agent's certificate, as SChannel resumes by default after a cut.
    for (const std::string version : {"-tls1_2", "-tls1_3"}) {
        const std::string client =
            "cd " + dir +
            " && sleep 1 | timeout 10 openssl s_client -connect 127.0.0.1:" + std::to_string(port) +
            " -cert agent.pem -key agent.key -CAfile ca.pem " + version;
        EXPECT_EQ(0, std::system((client + " -sess_out session.pem >/dev/null 2>&1").c_str()));
        EXPECT_EQ(0, std::system((client + " -sess_in session.pem 2>&1 | grep '^Reused,' "
                                           ">/dev/null")
                                     .c_str()))
            << version << " session not resumed";
    }
}

// A TLS 1.3 collector's refusal of the agent's certificate costs no record: the records held
// since arrive, once each, when the collector is started again trusting the agent's authority,
// the agent not restarted.
TEST(Tls, RefusalCostsNoRecord) {
    const std::string dir = certs() + "/", port = std::to_string(test::unused_port());
    auto collector = [&](const std::string& client_ca) {
        return std::make_unique<test::Child>(std::vector<std::string>{
            "/bin/sh", "-c",
            "cd " + dir +
                " && exec " TARN_COLLECTOR_BINARY
                " --tls-cert collector.pem --tls-key collector.key --tls-client-ca " +
                client_ca + " --port " + port + " >" + dir + "refusal.out 2>&1"});
    };
    auto strict = collector("other-authority.pem");
    ASSERT_TRUE(eventually([&] { return listening(static_cast<uint16_t>(std::stoi(port))); }, 10));
    Delivery delivery(agent_tls(), static_cast<uint16_t>(std::stoi(port)),
                      {record_of(50, 5), record_of(61, 6)});
    EXPECT_TRUE(delivery.log.wait_for("ERROR - Connect to 127.0.0.1:" + port +
                                          " failed: the collector did not accept the agent's "
                                          "certificate: unknown CA",
                                      true));
    strict.reset();
    auto trusting = collector("ca.pem");
    std::string out;
    EXPECT_TRUE(eventually(
        [&] {
            const Bytes bytes = file_bytes(dir + "refusal.out");
            out.assign(bytes.begin(), bytes.end());
            return out.find("\"length\":61") != std::string::npos;
        },
        25));
    for (const std::string length : {"\"length\":50", "\"length\":61"}) {
        EXPECT_EQ(out.find(length), out.rfind(length)) << out;
        EXPECT_NE(std::string::npos, out.find(length)) << out;
    }
}

}  // namespace
}  // namespace tarn::sensor
