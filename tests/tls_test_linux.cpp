// TLS delivery against peers nobody here wrote (openssl s_server) and against the collector, with
// certificates made at test time by scripts/test-certs.sh.
#include <csignal>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>

#include "dnstap_harness_linux.hpp"
#include "log_capture.hpp"
#include "loopback_server.hpp"
#include "sensor/sensor_queue_processor.hpp"
#include "sensor/wire_format.hpp"
#include "support/byte_order.hpp"

namespace tarn::sensor {
namespace {

using test::Bytes;

const std::string& certs() {
    static test::TempDir dir;
    static int made =
        std::system(("bash " TARN_SOURCE_DIR "/scripts/test-certs.sh " + dir.path).c_str());
    EXPECT_EQ(0, made);
    return dir.path;
}

Bytes file_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}
uint64_t file_size(const std::string& path) {
    std::error_code missing;
    const uint64_t size = std::filesystem::file_size(path, missing);
    return missing ? 0 : size;
}

bool eventually(const std::function<bool()>& condition, int seconds) {
    for (int i = 0; i < seconds * 20 && !condition(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return condition();
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

// A record the collector decodes, and the stream of frames plain TCP would carry for records.
Bytes record_of(size_t packet_size, int seed) {
    wire::RecordHeader header{1700000000, "192.0.2.1", "192.0.2.53", 0};
    Bytes record(wire::record_size(header, packet_size));
    uint8_t* packet = wire::encode_record_header(header, record.data());
    for (size_t i = 0; i < packet_size; ++i) {
        packet[i] = static_cast<uint8_t>(seed + i * 7);
    }
    return record;
}
Bytes stream_of(const std::vector<Bytes>& records) {
    Bytes stream(wire::version_frame_size);
    wire::encode_version_frame(stream.data());
    for (const Bytes& record : records) {
        stream.insert(stream.end(), 4, 0);
        store_be32(&stream[stream.size() - 4], static_cast<uint32_t>(record.size()));
        stream.insert(stream.end(), record.begin(), record.end());
    }
    return stream;
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

// The delivery thread over TLS to one target, the records in the ring first.
struct Delivery {
    Delivery(const config::TlsSettings& tls, uint16_t port, const std::vector<Bytes>& records,
             uint32_t timeout = 5, const SocketLayer& layer = SocketLayer{})
        : settings(tls), queue(64u << 20), targets{{"127.0.0.1", port, timeout}} {
        sigset_t pipe;  // as the agent ignores it: a reset peer costs a failed send
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
        for (const Bytes& record : records) {
            queue.push(record.data(), static_cast<uint32_t>(record.size()));
        }
        processor.use_tls(settings);
        processor.use_socket_layer(layer);
        processor.start();
    }
    ~Delivery() { processor.stop(); }
    test::LogCapture log;
    config::TlsSettings settings;
    SensorQueue queue;
    std::list<config::Target> targets;
    SensorQueueProcessor processor{queue, targets};
};

std::string first_error(const test::LogCapture& log) {
    for (const std::string& line : log.lines()) {
        if (line.rfind("ERROR - ", 0) == 0) {
            return line;
        }
    }
    return "";
}

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

// A link that keeps moving, at about 300 KB/s through 16 KiB socket buffers, is never cut by a
// 2 s time-out; one that stalls is, and the resend starts at the first record the socket did not
// take whole: every record arrives exactly once (a count of bytes sent that lagged behind the
// socket would send some twice).
TEST(Tls, SlowLinkMovesOnAndAStalledOneLosesAndRepeatsNothing) {
    std::vector<Bytes> records;
    for (int i = 0; i < 2000; ++i) {
        records.push_back(record_of(300 + i % 200, i));
    }
    const Bytes expected = stream_of(records);
    SocketLayer small_buffers;
    small_buffers.open = [](intptr_t& handle) {
        int code = socket_calls::open(handle);
        int size = 16384;
        setsockopt(static_cast<int>(handle), SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
        return code;
    };
    for (int stall : {0, 150000}) {
        const uint16_t port = test::unused_port();
        const int connections = stall == 0 ? 1 : 2;
        const std::string dir = certs(), first = dir + "/connection-0.bin",
                          second = dir + "/connection-1.bin";
        std::filesystem::remove(first);
        std::filesystem::remove(second);
        test::Child reader({"/usr/bin/python3", TARN_SOURCE_DIR "/tests/slow_tls_reader.py", dir,
                            std::to_string(port), "300000", std::to_string(stall),
                            std::to_string(connections)});
        ASSERT_TRUE(eventually([&] { return listening(port); }, 10));
        Delivery delivery(agent_tls(), port, records, 2, small_buffers);
        // The stalled connection's cut record comes again, whole, after a second version frame.
        const uint64_t size = expected.size() + (stall == 0 ? 0 : wire::version_frame_size);
        EXPECT_TRUE(eventually([&] { return file_size(first) + file_size(second) >= size; }, 40))
            << stall;
        const Bytes got = file_bytes(first);
        if (stall == 0) {
            EXPECT_EQ(expected, got);
            EXPECT_EQ("", first_error(delivery.log));
            continue;
        }
        EXPECT_TRUE(delivery.log.wait_for("ERROR - Send data to 127.0.0.1:", true));
        ASSERT_LE(got.size(), expected.size());
        EXPECT_TRUE(std::equal(got.begin(), got.end(), expected.begin()));
        size_t cut = 0, whole = wire::version_frame_size;  // records that came whole first
        while (cut < records.size() && whole + 4 + records[cut].size() <= got.size()) {
            whole += 4 + records[cut++].size();
        }
        EXPECT_EQ(stream_of({records.begin() + cut, records.end()}), file_bytes(second))
            << cut << " records came whole on the stalled connection";
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
