#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "config/settings.hpp"
#include "log_capture.hpp"
#include "support/threads.hpp"

namespace tarn::config {
namespace {

class Settings : public testing::Test {
  protected:
    void SetUp() override { reset(); }
    void TearDown() override { reset(); }
    static void reset() {
        queue_size = 104857600;
        target_list.clear();
#if !defined(_WIN32)
        dnstap_socket = "/run/sabrel-agent/dnstap.sock";
#endif
    }

    // Loads the bytes as a configuration file and applies them; returns the lines logged.
    std::vector<std::string> apply(const std::string& bytes) {
        static std::atomic<int> counter{0};
        std::string path = (std::filesystem::temp_directory_path() /
                            ("tarn-settings-" + std::to_string(current_process_id()) + "-" +
                             std::to_string(counter++) + ".conf"))
                               .string();
        {
            std::ofstream out(path, std::ios::binary);
            out << bytes;
        }
        ConfigStore store;
        store.load(path.c_str());
        std::remove(path.c_str());
        test::LogCapture capture;
        apply_settings(store);
        return capture.lines();
    }

    static std::vector<std::string> without_platform_lines(std::vector<std::string> lines) {
#if !defined(_WIN32)
        if (!lines.empty() && lines.back().rfind("Config: dnstap-socket = ", 0) == 0) {
            lines.pop_back();
        }
#endif
        return lines;
    }
};

Target parsed(const char* value) {
    Target target;
    parse_target(target, value);
    return target;
}

void expect_target(const char* value, const std::string& ip, uint16_t port, uint32_t timeout) {
    Target target = parsed(value);
    EXPECT_EQ(ip, target.ip) << value;
    EXPECT_EQ(port, target.port) << value;
    EXPECT_EQ(timeout, target.timeout) << value;
}

TEST(ParseTarget, AcceptedForms) {
    expect_target("10.1.2.3", "10.1.2.3", 8100, 5);
    expect_target("10.1.2.3:9000", "10.1.2.3", 9000, 5);
    expect_target("10.1.2.3 30", "10.1.2.3", 8100, 30);
    expect_target("10.1.2.3:9000 30", "10.1.2.3", 9000, 30);
    expect_target("10.1.2.3:9000\t  30", "10.1.2.3", 9000, 30);
    // Trailing spaces without a time-out leave the address at its first space.
    expect_target("10.1.2.3   ", "10.1.2.3   ", 8100, 5);
    expect_target("", "", 8100, 5);
    // The first colon ends the address even after the time-out.
    expect_target("10.1.2.3 30:40", "10.1.2.3 30", 40, 30);
    expect_target("10.1.2.3:1:2", "10.1.2.3", 1, 5);
    // Only the first word after the address is the time-out.
    expect_target("10.1.2.3 30 40", "10.1.2.3", 8100, 30);
}

TEST(ParseTarget, PortKeepsItsLow16BitsAndFallsBackOnZero) {
    expect_target("h:0", "h", 8100, 5);
    expect_target("h:", "h", 8100, 5);
    expect_target("h:http", "h", 8100, 5);
    expect_target("h:65535", "h", 65535, 5);
    expect_target("h:65536", "h", 8100, 5);
    expect_target("h:65537", "h", 1, 5);
    expect_target("h:74036", "h", 8500, 5);
    expect_target("h:-1", "h", 65535, 5);
    expect_target("h:-65535", "h", 1, 5);
    expect_target("h:+9000", "h", 9000, 5);
    // atol skips the blank; the word is also the time-out.
    expect_target("h: 9000", "h", 9000, 9000);
    expect_target("h:9000abc", "h", 9000, 5);
    // Beyond 32 bits atol stops at the limit: 0x7FFFFFFF and 0x80000000.
    expect_target("h:99999999999999999999", "h", 65535, 5);
    expect_target("h:-99999999999999999999", "h", 8100, 5);
    expect_target("h:4294967297", "h", 65535, 5);
}

TEST(ParseTarget, TimeoutIsUnsigned32AndFallsBackOnZero) {
    expect_target("h 0", "h", 8100, 5);
    expect_target("h never", "h", 8100, 5);
    expect_target("h -1", "h", 8100, 4294967295u);
    expect_target("h 4294967295", "h", 8100, 2147483647u);
    expect_target("h -99999999999", "h", 8100, 2147483648u);
    expect_target("h 12s", "h", 8100, 12);
}

TEST_F(Settings, QueueSizeValues) {
    struct Case {
        const char* line;
        uint32_t expected;
    } cases[] = {
        {"logging on\n", 104857600u},
        {"queue-size 0\n", 104857600u},
        {"queue-size\n", 104857600u},
        {"queue-size lots\n", 104857600u},
        {"queue-size = 1000\n", 104857600u},
        {"queue-size 1000 bytes\n", 1000u},
        {"QUEUE-SIZE 4096\n", 4096u},
        {"queue-size -1\n", 4294967295u},
        {"queue-size 4294967295\n", 2147483647u},
        {"queue-size -4294967295\n", 2147483648u},
        {"queue-size 1000\nqueue-size 2000\n", 1000u},
        {"queue-size 0\nqueue-size 2000\n", 104857600u},
    };
    for (const auto& c : cases) {
        reset();
        auto lines = without_platform_lines(apply(c.line));
        EXPECT_EQ(c.expected, queue_size) << c.line;
        EXPECT_TRUE(target_list.empty()) << c.line;
        EXPECT_EQ(std::vector<std::string>{"Config: queue-size = " + std::to_string(c.expected)},
                  lines)
            << c.line;
    }
}

TEST_F(Settings, EveryTargetLineIsAppendedAndLoggedInFileOrder) {
    auto lines = apply(
        "target 10.0.0.1\n"
        "queue-size 65536\n"
        "Target 10.0.0.2:65535 30\n"
        "target\n"
        "target 10.0.0.4:-1 -1   # last\n");
    EXPECT_EQ((std::vector<std::string>{
                  "Config: queue-size = 65536",
                  "Config: target = ip:10.0.0.1 port:8100 timeout:5",
                  "Config: target = ip:10.0.0.2 port:65535 timeout:30",
                  "Config: target = ip: port:8100 timeout:5",
                  "Config: target = ip:10.0.0.4 port:65535 timeout:4294967295",
              }),
              without_platform_lines(lines));
    std::vector<std::string> listed;
    for (const Target& target : target_list) {
        listed.push_back(target.ip + " " + std::to_string(target.port) + " " +
                         std::to_string(target.timeout));
    }
    EXPECT_EQ((std::vector<std::string>{"10.0.0.1 8100 5", "10.0.0.2 65535 30", " 8100 5",
                                        "10.0.0.4 65535 4294967295"}),
              listed);
}

TEST_F(Settings, ApplyingAgainAppendsToTheList) {
    apply("target 10.0.0.1\n");
    apply("target 10.0.0.2\n");
    ASSERT_EQ(2u, target_list.size());
    EXPECT_EQ("10.0.0.1", target_list.front().ip);
    EXPECT_EQ("10.0.0.2", target_list.back().ip);
}

#if !defined(_WIN32)
TEST_F(Settings, DnstapSocketTakesTheFirstNonEmptyLine) {
    auto lines = apply("dnstap-socket /tmp/a.sock\ndnstap-socket /tmp/b.sock\n");
    EXPECT_EQ("/tmp/a.sock", dnstap_socket);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ("Config: dnstap-socket = /tmp/a.sock", lines.back());

    reset();
    lines = apply("DNSTAP-SOCKET\ndnstap-socket /tmp/b.sock\n");
    EXPECT_EQ("/run/sabrel-agent/dnstap.sock", dnstap_socket);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ("Config: dnstap-socket = /run/sabrel-agent/dnstap.sock", lines.back());
}
#endif

}  // namespace
}  // namespace tarn::config
