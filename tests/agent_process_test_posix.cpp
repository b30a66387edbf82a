// The agent executable run as a process: command line, exit status, log lines, signals.
#include <gtest/gtest.h>

#if defined(TARN_AGENT_BINARY)

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "error/error.hpp"

namespace tarn {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// After the version and directory lines.
const std::vector<std::string> run_lines = {"Starting...",
                                            "Starting sensor queue processor",
                                            "Starting ETW session",
                                            "Started!",
                                            "Stopping...",
                                            "Stopping all sessions",
                                            "Closing ETW trace...",
                                            "Stopping sensor queue processor",
                                            "Stopped!"};

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

bool wait_until(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

std::string make_temp_dir(const char* name) {
    std::string pattern = (fs::temp_directory_path() / name).string() + "-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr) {
        return {};
    }
    return fs::canonical(buffer.data()).string();
}

// A directory holding a copy of the agent and, if asked, the "log" directory beside it; the
// test's own files (configuration, captured output) live in a second directory.
class Installation {
  public:
    explicit Installation(bool with_log_directory) {
        dir = make_temp_dir("tarn-agent");
        work = make_temp_dir("tarn-agent-work");
        fs::copy_file(TARN_AGENT_BINARY, fs::path(dir) / "agent");
        fs::permissions(fs::path(dir) / "agent", fs::perms::owner_all);
        if (with_log_directory) {
            fs::create_directory(fs::path(dir) / "log");
        }
    }
    ~Installation() {
        std::error_code ignored;
        fs::remove_all(dir, ignored);
        fs::remove_all(work, ignored);
    }
    std::string binary() const { return dir + "/agent"; }
    fs::path log_file() const { return fs::path(dir) / "log" / "dns-logger.log"; }
    std::string write_config(const std::string& text, const std::string& name = "agent.conf") {
        std::ofstream(fs::path(work) / name, std::ios::binary) << text;
        return work + "/" + name;
    }
    // Everything below the agent's directory other than the binary itself.
    std::set<std::string> created_files() const {
        std::set<std::string> found;
        for (const auto& entry : fs::recursive_directory_iterator(dir)) {
            auto relative = fs::relative(entry.path(), dir).string();
            if (relative != "agent") {
                found.insert(relative);
            }
        }
        return found;
    }
    // Log messages without their prefix; the prefix is checked on the way.
    std::vector<std::string> log_messages(pid_t pid) const {
        std::vector<std::string> messages;
        std::istringstream in(read_file(log_file()));
        std::string line;
        std::regex prefix(R"(^\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}Z \[(\d+)\]: )");
        while (std::getline(in, line)) {
            std::smatch match;
            if (!std::regex_search(line, match, prefix)) {
                ADD_FAILURE() << "line without prefix: " << line;
                messages.push_back(line);
                continue;
            }
            EXPECT_EQ(std::to_string(pid), match[1].str()) << line;
            messages.push_back(match.suffix());
        }
        return messages;
    }

    std::string dir;
    std::string work;
};

struct Launch {
    std::vector<std::string> arguments;
    std::string working_directory;
    std::vector<std::string> environment;  // added to the test's own
    rlim_t address_space_limit = 0;
};

class AgentProcess {
  public:
    AgentProcess(const Installation& installation, const Launch& launch)
        : out_path(installation.work + "/stdout"), err_path(installation.work + "/stderr") {
        std::string binary = installation.binary();
        std::vector<std::string> arguments{binary};
        arguments.insert(arguments.end(), launch.arguments.begin(), launch.arguments.end());
        std::vector<char*> argv;
        for (auto& argument : arguments) {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);
        std::vector<std::string> environment = launch.environment;
        for (char** variable = environ; *variable != nullptr; ++variable) {
            if (std::strncmp(*variable, "NOTIFY_SOCKET=", 14) != 0) {
                environment.push_back(*variable);
            }
        }
        std::vector<char*> envp;
        for (auto& variable : environment) {
            envp.push_back(variable.data());
        }
        envp.push_back(nullptr);
        const char* cwd =
            launch.working_directory.empty() ? nullptr : launch.working_directory.c_str();
        rlim_t limit = launch.address_space_limit;

        pid = fork();
        if (pid == 0) {
            // Only async-signal-safe calls between fork and exec.
            int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) {
                _exit(120);
            }
            if (cwd != nullptr && chdir(cwd) != 0) {
                _exit(121);
            }
            if (limit != 0) {
                rlimit rl{limit, limit};
                setrlimit(RLIMIT_AS, &rl);
            }
            // Whatever the test runner ignores or blocks, the agent starts with the defaults.
            signal(SIGINT, SIG_DFL);
            signal(SIGTERM, SIG_DFL);
            signal(SIGPIPE, SIG_DFL);
            sigset_t none;
            sigemptyset(&none);
            sigprocmask(SIG_SETMASK, &none, nullptr);
            execve(argv[0], argv.data(), envp.data());
            _exit(122);
        }
    }
    ~AgentProcess() {
        if (pid > 0 && !reaped) {
            kill(pid, SIGKILL);
            int status = 0;
            waitpid(pid, &status, 0);
        }
    }

    // The wait status, or -1 after killing a process that did not end within the limit.
    int wait_exit(std::chrono::milliseconds limit = 15000ms) {
        int status = 0;
        bool ended = wait_until(
            [&] {
                pid_t result = waitpid(pid, &status, WNOHANG);
                return result == pid || (result < 0 && errno != EINTR);
            },
            limit);
        reaped = true;
        if (!ended) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            ADD_FAILURE() << "the agent did not end within " << limit.count() << " ms";
            return -1;
        }
        return status;
    }

    // Whether a handler is installed for the signal, as the kernel reports it.
    bool catches(int signal_number) const {
        std::istringstream in(read_file("/proc/" + std::to_string(pid) + "/status"));
        std::string line;
        while (std::getline(in, line)) {
            if (line.rfind("SigCgt:", 0) == 0) {
                return (std::stoull(line.substr(7), nullptr, 16) >> (signal_number - 1) & 1) != 0;
            }
        }
        return false;
    }
    bool wait_for_stop_handlers(std::chrono::milliseconds limit = 15000ms) const {
        return wait_until([&] { return catches(SIGINT) && catches(SIGTERM); }, limit);
    }
    bool alive() const {
        std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
        auto close = stat.rfind(')');
        return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z';
    }
    std::string standard_output() const { return read_file(out_path); }
    std::string standard_error() const { return read_file(err_path); }

    pid_t pid = -1;

  private:
    std::string out_path;
    std::string err_path;
    bool reaped = false;
};

bool exited_with(int status, int code) {
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == code;
}
bool killed_by(int status, int signal_number) {
    return status != -1 && WIFSIGNALED(status) && WTERMSIG(status) == signal_number;
}

std::string quiet_config(const Installation& installation, const std::string& extra) {
    return "dnstap-socket " + installation.work + "/dnstap.sock\n" + extra;
}

// The run sequence's own lines must come in this order and once each; the threads may add
// lines of their own in between.
void expect_run_lines(const std::vector<std::string>& messages, const std::string& directory) {
    ASSERT_GE(messages.size(), 3u);
    EXPECT_EQ("agent version 3.7.1", messages[0]);
    EXPECT_EQ("Changing directory to: " + directory, messages[1]);
    EXPECT_EQ(run_lines.front(), messages[2]);
    std::set<std::string> own(run_lines.begin(), run_lines.end());
    std::vector<std::string> seen;
    for (std::size_t i = 2; i < messages.size(); ++i) {
        // The trace thread logs its own "Closing ETW trace..." right after the stop's one.
        bool repeated = !seen.empty() && seen.back() == messages[i];
        if (own.count(messages[i]) != 0 && !repeated) {
            seen.push_back(messages[i]);
        }
        EXPECT_EQ(std::string::npos, messages[i].find("Run failure")) << messages[i];
    }
    EXPECT_EQ(run_lines, seen);
    EXPECT_EQ("Stopped!", messages.back());
}

// No argument: the usage line and 255; a missing configuration: a silent run that ends with 0.
TEST(AgentProcess, UsageAndMissingConfigurationTouchNothing) {
    for (bool with_argument : {false, true}) {
        SCOPED_TRACE(with_argument ? "missing configuration" : "no argument");
        Installation installation(true);
        Launch launch;
        if (with_argument) {
            launch.arguments = {installation.work + "/no-such.conf"};
        }
        AgentProcess agent(installation, launch);
        int status = agent.wait_exit();
        EXPECT_TRUE(exited_with(status, with_argument ? 0 : 255)) << status;
        EXPECT_EQ(with_argument ? "" : "usage: agent <config-file>\n", agent.standard_error());
        EXPECT_EQ("", agent.standard_output());
        EXPECT_EQ(std::set<std::string>{"log"}, installation.created_files());
    }
}

TEST(AgentProcess, StopSignalsRunTheStopSequence) {
    for (int signal_number : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(signal_number == SIGTERM ? "SIGTERM" : "SIGINT");
        Installation installation(true);
        // A relative path is resolved against the starting directory, and only the first
        // argument counts.
        installation.write_config(quiet_config(installation, "logging on\n"));
        Launch launch{{"agent.conf", "ignored.conf", "--more"}, installation.work, {}, 0};
        AgentProcess agent(installation, launch);
        ASSERT_TRUE(agent.wait_for_stop_handlers());
        EXPECT_EQ(installation.dir,
                  fs::read_symlink("/proc/" + std::to_string(agent.pid) + "/cwd"));
        auto running = installation.log_messages(agent.pid);
        ASSERT_FALSE(running.empty());
        EXPECT_EQ("agent version 3.7.1", running.front());

        kill(agent.pid, signal_number);
        int status = agent.wait_exit();
        EXPECT_TRUE(exited_with(status, 0)) << status;
        expect_run_lines(installation.log_messages(agent.pid), installation.dir);
        EXPECT_EQ("", agent.standard_error());
        EXPECT_EQ("", agent.standard_output());
    }
}

// Starts the agent on the configuration, stops it with SIGTERM once it is running and expects
// a clean exit with nothing on its standard streams. Returns its process id.
pid_t run_and_stop(const Installation& installation, const std::string& config) {
    AgentProcess agent(installation, {{config}, "", {}, 0});
    EXPECT_TRUE(agent.wait_for_stop_handlers());
    kill(agent.pid, SIGTERM);
    EXPECT_TRUE(exited_with(agent.wait_exit(), 0));
    EXPECT_EQ("", agent.standard_error());
    EXPECT_EQ("", agent.standard_output());
    return agent.pid;
}

TEST(AgentProcess, LogIsAppendedAcrossRuns) {
    Installation installation(true);
    std::string config = installation.write_config(quiet_config(installation, "logging on\n"));
    std::vector<pid_t> pids = {run_and_stop(installation, config),
                               run_and_stop(installation, config)};
    std::string text = read_file(installation.log_file());
    EXPECT_NE(std::string::npos, text.find("[" + std::to_string(pids[0]) + "]: agent version"));
    EXPECT_NE(std::string::npos, text.find("[" + std::to_string(pids[1]) + "]: Stopped!"));
    EXPECT_LT(text.find("[" + std::to_string(pids[0]) + "]: Stopped!"),
              text.find("[" + std::to_string(pids[1]) + "]: agent version"));
}

// No log file without exactly "on" in the first logging line, nor without the log directory.
TEST(AgentProcess, LogOpensOnlyForExactlyOnInAnExistingDirectory) {
    for (const char* lines :
         {"logging On\n", "logging ON\n", "logging on extra\n", "logging\n",
          "logging off\nlogging on\n", "# logging on\n", "logging=on\n", "", "logging on\n"}) {
        bool with_log_directory = std::string(lines) != "logging on\n";
        SCOPED_TRACE(std::string(lines) + (with_log_directory ? "" : " without log directory"));
        Installation installation(with_log_directory);
        run_and_stop(installation, installation.write_config(quiet_config(installation, lines)));
        EXPECT_EQ(with_log_directory ? std::set<std::string>{"log"} : std::set<std::string>{},
                  installation.created_files());
    }
}

TEST(AgentProcess, StopSignalBeforeStartedEndsTheProcessAtOnce) {
    for (int signal_number : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(signal_number == SIGTERM ? "SIGTERM" : "SIGINT");
        Installation installation(true);
        // A FIFO as the log file holds the start-up in its open until a reader comes, so the
        // signal is sure to arrive before the handlers are installed.
        ASSERT_EQ(0, mkfifo(installation.log_file().c_str(), 0600));
        std::string config = installation.write_config(quiet_config(installation, "logging on\n"));
        AgentProcess agent(installation, {{config}, "", {}, 0});
        std::this_thread::sleep_for(50ms);  // let it reach the open; either way it must die
        EXPECT_FALSE(agent.catches(signal_number));
        kill(agent.pid, signal_number);
        int status = agent.wait_exit();
        EXPECT_TRUE(killed_by(status, signal_number)) << status;
    }
}

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define TARN_SANITIZED 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TARN_SANITIZED 1
#endif

TEST(AgentProcess, QueueThatCannotBeAllocatedIsARunFailure) {
#if defined(TARN_SANITIZED)
    // The address-space limit that makes the allocation fail also starves the sanitizer's
    // shadow memory.
    GTEST_SKIP() << "needs an address-space limit, which sanitized builds cannot run under";
#endif
    Installation installation(true);
    std::string config = installation.write_config(
        quiet_config(installation, "logging on\nqueue-size 1073741824\n"));
    Launch launch{{config}, "", {}, rlim_t{256} << 20};
    AgentProcess agent(installation, launch);
    int status = agent.wait_exit();
    EXPECT_TRUE(exited_with(status, 0)) << status;
    auto messages = installation.log_messages(agent.pid);
    std::vector<std::string> expected = {
        "agent version 3.7.1",
        "Changing directory to: " + installation.dir,
        "Starting...",
        "ERROR - Run failure: malloc(1073741824) failed: " + error::system_error_text(ENOMEM),
    };
    EXPECT_EQ(expected, messages);
}

// Listens on loopback with its accept queue filled, so that a further connection attempt
// stays unanswered until the agent's own time-out.
class UnansweredListener {
  public:
    UnansweredListener() {
        listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            listen(listener, 0) != 0 ||
            getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            return;
        }
        port = ntohs(address.sin_port);
        for (int i = 0; i < 3; ++i) {
            int client = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address);
            clients.push_back(client);
        }
        std::this_thread::sleep_for(100ms);
    }
    ~UnansweredListener() {
        for (int client : clients) {
            close(client);
        }
        close(listener);
    }
    int listener = -1;
    uint16_t port = 0;
    std::vector<int> clients;
};

TEST(AgentProcess, SecondSigintDuringTheStopEndsTheProcess) {
    UnansweredListener collector;
    ASSERT_NE(0, collector.port);
    Installation installation(true);
    // The processor sits in a 60-second connection attempt, so its stop takes that long.
    std::string config = installation.write_config(quiet_config(
        installation, "logging on\ntarget 127.0.0.1:" + std::to_string(collector.port) + " 60\n"));
    AgentProcess agent(installation, {{config}, "", {}, 0});
    ASSERT_TRUE(agent.wait_for_stop_handlers());
    ASSERT_TRUE(wait_until(
        [&] {
            auto text = read_file(installation.log_file());
            return text.find("Connecting to 127.0.0.1:" + std::to_string(collector.port)) !=
                   std::string::npos;
        },
        15000ms));

    kill(agent.pid, SIGINT);
    ASSERT_TRUE(wait_until(
        [&] {
            auto messages = installation.log_messages(agent.pid);
            return !messages.empty() && messages.back() == "Stopping sensor queue processor";
        },
        15000ms));
    ASSERT_TRUE(agent.alive()) << "the stop ended before the second SIGINT could be sent";
    // The handler acted once: SIGINT is back to its default, SIGTERM is still handled.
    EXPECT_FALSE(agent.catches(SIGINT));
    EXPECT_TRUE(agent.catches(SIGTERM));

    kill(agent.pid, SIGINT);
    int status = agent.wait_exit(10000ms);
    EXPECT_TRUE(killed_by(status, SIGINT)) << status;
    auto messages = installation.log_messages(agent.pid);
    EXPECT_EQ(0, std::count(messages.begin(), messages.end(), std::string("Stopped!")));
}

class NotifySocket {
  public:
    explicit NotifySocket(const std::string& name) {
        fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, name.data(), name.size());
        if (name[0] == '@') {
            address.sun_path[0] = '\0';
        }
        bound = bind(fd, reinterpret_cast<sockaddr*>(&address),
                     static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size())) == 0;
    }
    ~NotifySocket() { close(fd); }
    // The next datagram, or "" when none came within the limit.
    std::string receive(int milliseconds = 15000) {
        pollfd entry{fd, POLLIN, 0};
        if (poll(&entry, 1, milliseconds) != 1) {
            return "";
        }
        char buffer[256];
        ssize_t count = recv(fd, buffer, sizeof buffer, 0);
        return count > 0 ? std::string(buffer, static_cast<std::size_t>(count)) : "";
    }
    int fd = -1;
    bool bound = false;
};

TEST(AgentProcess, TellsSystemdWhenReadyAndWhenStopping) {
    for (bool abstract : {false, true}) {
        SCOPED_TRACE(abstract ? "abstract socket" : "socket path");
        Installation installation(false);
        std::string name =
            abstract ? "@tarn-notify-" + std::to_string(getpid()) : installation.work + "/notify";
        NotifySocket service_manager(name);
        ASSERT_TRUE(service_manager.bound);
        std::string config = installation.write_config(quiet_config(installation, ""));
        Launch launch{{config}, "", {"NOTIFY_SOCKET=" + name}, 0};
        AgentProcess agent(installation, launch);
        EXPECT_EQ("READY=1", service_manager.receive());
        ASSERT_TRUE(agent.wait_for_stop_handlers());
        kill(agent.pid, SIGTERM);
        EXPECT_EQ("STOPPING=1", service_manager.receive());
        EXPECT_TRUE(exited_with(agent.wait_exit(), 0));
    }
}

}  // namespace
}  // namespace tarn

#else

TEST(AgentProcess, NeedsTheAgentBinary) {
    GTEST_SKIP() << "the agent executable is not part of this build";
}

#endif
