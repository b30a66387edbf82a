// The agent executable as a process: usage, exit status, log lines, stop signals, systemd.
#include <fstream>

#include "dnstap_harness_linux.hpp"
#include "error/error.hpp"

namespace tarn {
namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

bool eventually(const std::function<bool()>& condition) {
    for (int i = 0; i < 1500 && !condition(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return condition();
}

// A copy of the agent with the "log" directory beside it; the test's own files apart.
struct Installation {
    Installation() {
        fs::copy_file(TARN_AGENT_BINARY, agent);
        fs::create_directory(dir + "/log");
    }
    // The agent on this configuration (quiet about dnstap), started by a shell that may change
    // its directory or limits first. NOTIFY_SOCKET is set only in environment.
    test::Child start(const std::string& config, const std::string& shell = "",
                      const std::string& environment = "", const std::string& arguments = "") {
        std::ofstream(work.path + "/agent.conf") << "dnstap-socket " << work.path << "/s\n"
                                                 << config;
        return test::Child({"/bin/sh", "-c",
                            shell + "exec env -u NOTIFY_SOCKET -u JOURNAL_STREAM " + environment +
                                " " + agent + " " +
                                (arguments.empty() ? work.path + "/agent.conf" : arguments)});
    }
    long created() const {  // files and directories beside the agent
        return std::distance(fs::recursive_directory_iterator(dir), {}) - 1;
    }
    Lines messages(pid_t pid) const {  // one process's, without the prefix
        Lines found;
        std::ifstream in(dir + "/log/dns-logger.log");
        std::string tag = "Z [" + std::to_string(pid) + "]: ";
        for (std::string line; std::getline(in, line);) {
            if (line.size() > 20 && line.compare(19, tag.size(), tag) == 0) {
                found.push_back(line.substr(19 + tag.size()));
            }
        }
        return found;
    }
    bool logged(pid_t pid, const std::string& line) const {
        return eventually([&] {
            Lines m = messages(pid);
            return std::find(m.begin(), m.end(), line) != m.end();
        });
    }

    test::TempDir install, work;
    std::string dir = fs::canonical(install.path).string(), agent = dir + "/agent";
};

// Once the kernel reports handlers for both stop signals.
bool started(pid_t pid) {
    return eventually([pid] {
        std::ifstream in("/proc/" + std::to_string(pid) + "/status");
        for (std::string line; std::getline(in, line);) {
            if (line.rfind("SigCgt:", 0) == 0) {
                uint64_t mask = std::stoull(line.substr(7), nullptr, 16);
                return (mask >> (SIGINT - 1) & mask >> (SIGTERM - 1) & 1) != 0;
            }
        }
        return false;
    });
}

// A failed run exits 1 (so systemd's Restart=on-failure restarts it) and says why on standard
// error, the journal's input, whether or not the log is on; lines from before the log opened
// come first in it.
TEST(AgentProcess, UsageMissingConfigurationAndFailedQueue) {
    Installation installation;
    test::Child usage({installation.agent}), missing({installation.agent, "/nonexistent.conf"});
    EXPECT_EQ(255, usage.stop(0));
    EXPECT_EQ("usage: agent <config-file>\n", usage.output);
    EXPECT_EQ(1, missing.stop(0));
    EXPECT_EQ("ERROR - Run failure: fopen(/nonexistent.conf) failed: " +
                  error::system_error_text(ENOENT) + "\n",
              missing.output);
    EXPECT_EQ(1, installation.created());  // the log directory, nothing in it
#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
    GTEST_SKIP() << "the address-space limit below would starve the sanitizer";
#endif
#endif
    const std::string refused =
        "ERROR - Config: line \"target 10.1.2\" not used: \"10.1.2\" is not a dotted-quad IPv4 "
        "address";
    const std::string none =
        "ERROR - Config: no target left: records stay in the queue until "
        "the configuration names a collector";
    const std::string failure =
        "ERROR - Run failure: malloc(1073741824) failed: " + error::system_error_text(ENOMEM);
    test::Child agent = installation.start("logging on\nqueue-size 1073741824\ntarget 10.1.2\n",
                                           "ulimit -v 262144; ");
    EXPECT_EQ(1, agent.stop(0));
    EXPECT_EQ(refused + "\n" + none + "\n" + failure + "\n", agent.output);
    Lines messages = installation.messages(agent.pid);
    EXPECT_EQ(
        Lines({"Reading config from " + installation.work.path + "/agent.conf",
               "Config: queue-size = 1073741824", "Config: ipv6-clients = off", refused, none,
               "Config: dnstap-socket = " + installation.work.path + "/s", "agent version 3.7.1",
               "Changing directory to: " + installation.dir, "Starting...", failure}),
        messages);
}

// Both stop signals, in two runs that append to one log and tell systemd when ready and when
// stopping (at a path, then at an abstract name). The configuration path is relative to the
// starting directory, only the first argument counts, and capture must have started: the
// trace thread's lines come between the run sequence's, and no error.
TEST(AgentProcess, StopSignalsRunTheStopSequence) {
    Installation installation;
    const std::string expected =
        "agent version 3.7.1|Changing directory to: " + installation.dir +
        "|Starting...|Starting sensor queue processor|Starting ETW session|Starting ETW trace..."
        "|Enable DNS server provider for ETW trace...|Opening ETW trace..."
        "|Entering ETW trace processing loop...|Stopping...|Stopping all sessions"
        "|Closing ETW trace...|Closing ETW trace...|ETW session finished"
        "|Stopping sensor queue processor|Stopped!";
    pid_t first = 0;
    for (int signal_number : {SIGTERM, SIGINT}) {
        std::string name =
            (signal_number == SIGTERM ? installation.work.path : "@" + std::to_string(getpid())) +
            "/notify";
        int manager = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{AF_UNIX, {}};
        name.copy(address.sun_path + 1, name.size() - 1, 1);  // '@': an abstract name
        address.sun_path[0] = name[0] == '@' ? '\0' : name[0];
        ASSERT_EQ(0, bind(manager, reinterpret_cast<sockaddr*>(&address),
                          static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size())));
        auto notified = [manager] {
            pollfd entry{manager, POLLIN, 0};
            char buffer[64] = {};
            return poll(&entry, 1, 15000) == 1 && recv(manager, buffer, 63, 0) > 0
                       ? std::string(buffer)
                       : "";
        };
        test::Child agent =
            installation.start("logging on\n", "cd " + installation.work.path + " && ",
                               "NOTIFY_SOCKET=" + name, "agent.conf ignored.conf --more");
        EXPECT_EQ("READY=1", notified());
        first = first != 0 ? first : agent.pid;
        ASSERT_TRUE(started(agent.pid));
        ASSERT_TRUE(installation.logged(agent.pid, "Entering ETW trace processing loop..."))
            << "capture did not start";
        EXPECT_EQ(installation.dir,
                  fs::read_symlink("/proc/" + std::to_string(agent.pid) + "/cwd"));
        kill(agent.pid, signal_number);
        EXPECT_EQ("STOPPING=1", notified());
        EXPECT_EQ(0, agent.stop(0));
        EXPECT_EQ("Started!\nStopped!\n", agent.output);
        close(manager);
        // The known lines in order, "Started!" among them from "Starting ETW session" on; lines
        // of other kinds (the figures) may come between, an error line may not.
        std::string seen;
        for (const std::string& line : installation.messages(agent.pid)) {
            EXPECT_NE(0u, line.rfind("ERROR - ", 0)) << line;
            bool known = ("|" + expected + "|").find("|" + line + "|") != std::string::npos;
            seen += line == "Started!" || !known ? "" : (seen.empty() ? "" : "|") + line;
            EXPECT_TRUE(line != "Started!" || (seen.find("ETW session") != std::string::npos &&
                                               seen.find("Stopping") == std::string::npos));
        }
        EXPECT_EQ(expected, seen);
    }
    EXPECT_FALSE(installation.messages(first).empty());  // the log of both runs, appended
}

}  // namespace
}  // namespace tarn
