#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "config/config_store.hpp"
#include "error/error.hpp"
#include "support/threads.hpp"

namespace tarn::config {
namespace {

// A file of exactly the given bytes, removed at the end of the test.
class ConfigFile {
  public:
    explicit ConfigFile(const std::string& bytes) {
        static std::atomic<int> counter{0};
        path = (std::filesystem::temp_directory_path() /
                ("tarn-config-" + std::to_string(current_process_id()) + "-" +
                 std::to_string(counter++) + ".conf"))
                   .string();
        std::ofstream out(path, std::ios::binary);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    ~ConfigFile() { std::remove(path.c_str()); }
    std::string path;
};

ConfigStore loaded(const std::string& bytes) {
    ConfigFile file(bytes);
    ConfigStore store;
    store.load(file.path.c_str());
    return store;
}

std::optional<ConfigEntry> parse(const std::string& line) {
    return ConfigStore::parse_line(line.c_str());
}

void expect_entry(const std::string& line, const std::string& key, const std::string& value) {
    auto entry = parse(line);
    ASSERT_TRUE(entry.has_value()) << line;
    EXPECT_EQ(key, entry->key) << line;
    EXPECT_EQ(value, entry->value) << line;
}

TEST(ConfigLine, KeyAndValueAreCutAtSpacesAndComments) {
    expect_entry("  Target   10.0.0.1:9000  30   # primary\n", "target", "10.0.0.1:9000  30");
    expect_entry("queue-size 1000\n", "queue-size", "1000");
    expect_entry("\tlogging\ton\t\n", "logging", "on");
    expect_entry("logging", "logging", "");
    expect_entry("logging   \n", "logging", "");
    // "#" inside a word ends the line there, also for the key.
    expect_entry("logging#on more words\n", "logging", "");
    expect_entry("target 10.0.0.1#:9000 30\n", "target", "10.0.0.1");
    expect_entry("key a b#c d\n", "key", "a b");
    // No separator other than spaces.
    expect_entry("queue-size = 1000\n", "queue-size", "= 1000");
    expect_entry("queue-size=1000\n", "queue-size=1000", "");
    // Other spaces of the "C" locale.
    expect_entry("\v\fkey\r\v value \f\r\n", "key", "value");
}

TEST(ConfigLine, LinesWithoutKeyYieldNothing) {
    for (const char* line : {"", "\n", "   \t \r\n", "# comment\n", "   #key value\n", "#"}) {
        EXPECT_FALSE(ConfigStore::parse_line(line).has_value()) << line;
    }
}

TEST(ConfigLine, KeyIsLoweredOnlyForAsciiLettersAndValueKeepsCase) {
    expect_entry("QUEUE-Size ON\n", "queue-size", "ON");
    expect_entry("LOGGING On\n", "logging", "On");
    // Bytes from 0x80 up are neither spaces nor letters.
    expect_entry("K\xC4Y\xA0V\xA0value\n", "k\xC4y\xA0v\xA0value", "");
    expect_entry("key \xA0value\xA0 x\n", "key", "\xA0value\xA0 x");
    expect_entry("\xFF\xFF \xFF\n", "\xFF\xFF", "\xFF");
}

TEST(ConfigStore, GetGivesFirstValueAndGetAllEveryValueInOrder) {
    auto store = loaded(
        "target 10.0.0.1\n"
        "Queue-Size 1000\n"
        "TARGET 10.0.0.2:9000 30\n"
        "queue-size 2000\n"
        "target 10.0.0.3\n"
        "logging\n");
    ASSERT_NE(nullptr, store.get("target"));
    EXPECT_STREQ("10.0.0.1", store.get("target"));
    EXPECT_STREQ("1000", store.get("queue-size"));
    EXPECT_EQ((std::vector<std::string>{"10.0.0.1", "10.0.0.2:9000 30", "10.0.0.3"}),
              store.get_all("target"));
    // An empty value is an empty string, not a missing key.
    ASSERT_NE(nullptr, store.get("logging"));
    EXPECT_STREQ("", store.get("logging"));
    // Keys are stored lower case, so a key asked for in capitals never matches.
    EXPECT_EQ(nullptr, store.get("Target"));
    EXPECT_TRUE(store.get_all("QUEUE-SIZE").empty());
    // Exact length: neither prefix nor extension of a key matches.
    EXPECT_EQ(nullptr, store.get("targe"));
    EXPECT_EQ(nullptr, store.get("targets"));
    EXPECT_EQ(nullptr, store.get(""));
}

TEST(ConfigStore, EmptyAndCommentOnlyFilesGiveAnEmptyStore) {
    for (const char* bytes : {"", "\n\n", "# only\n   # comments\n\t\r\n"}) {
        auto store = loaded(bytes);
        EXPECT_EQ(nullptr, store.get("logging")) << bytes;
        EXPECT_TRUE(store.get_all("target").empty()) << bytes;
    }
}

TEST(ConfigStore, CrLfReadsLikeLf) {
    auto crlf = loaded("target 10.0.0.1:9000 30\r\nlogging on\r\n");
    EXPECT_EQ(std::vector<std::string>{"10.0.0.1:9000 30"}, crlf.get_all("target"));
    EXPECT_EQ(std::vector<std::string>{"on"}, crlf.get_all("logging"));
}

TEST(ConfigStore, LongLineIsReadIn4095BytePieces) {
    // 5000 bytes before the newline: the first 4095 form one line, the other 905 the next.
    std::string first = "first " + std::string(4095 - 6, 'a');
    std::string second = "second " + std::string(905 - 7, 'b');
    ASSERT_EQ(5000u, (first + second).size());
    auto store = loaded(first + second + "\nlast 1\n");
    EXPECT_EQ(std::vector<std::string>{std::string(4095 - 6, 'a')}, store.get_all("first"));
    EXPECT_EQ(std::vector<std::string>{std::string(905 - 7, 'b')}, store.get_all("second"));
    EXPECT_STREQ("1", store.get("last"));

    // A piece that ends inside a word splits the word: its tail becomes the next key.
    auto split = loaded("key " + std::string(4091, 'x') + "tail value\n");
    EXPECT_EQ(std::vector<std::string>{std::string(4091, 'x')}, split.get_all("key"));
    EXPECT_STREQ("value", split.get("tail"));
}

TEST(ConfigStore, BinaryBytesAndNulsAreReadByTheSameRules) {
    std::string bytes = "logging on\n";
    bytes += std::string("key value\0hidden words\n", 23);  // the NUL hides the rest of its line
    bytes += std::string("\0whole line hidden\n", 19);
    bytes += "bin \x01\x02\x7F\x80\xFE\xFF end\n";
    bytes += "target 10.0.0.9\n";
    auto store = loaded(bytes);
    EXPECT_STREQ("on", store.get("logging"));
    EXPECT_STREQ("value", store.get("key"));
    EXPECT_EQ(nullptr, store.get("hidden"));
    EXPECT_EQ(nullptr, store.get("whole"));
    ASSERT_NE(nullptr, store.get("bin"));
    EXPECT_STREQ("\x01\x02\x7F\x80\xFE\xFF end", store.get("bin"));
    EXPECT_EQ(std::vector<std::string>{"10.0.0.9"}, store.get_all("target"));
}

TEST(ConfigStore, ThousandsOfLinesKeepTheirOrder) {
    std::string bytes;
    for (int i = 0; i < 20000; ++i) {
        bytes += "target 10.0." + std::to_string(i / 256) + "." + std::to_string(i % 256) + "\n";
        bytes += "# comment " + std::to_string(i) + "\n\n";
    }
    auto store = loaded(bytes);
    auto targets = store.get_all("target");
    ASSERT_EQ(20000u, targets.size());
    EXPECT_EQ("10.0.0.0", targets.front());
    EXPECT_EQ("10.0.0.1", targets[1]);
    EXPECT_EQ("10.0.78.31", targets.back());
}

TEST(ConfigStore, LoadReplacesWhatAnEarlierLoadRead) {
    ConfigFile first("target 10.0.0.1\nlogging on\n");
    ConfigFile second("target 10.0.0.2\n");
    ConfigStore store;
    store.load(first.path.c_str());
    store.load(second.path.c_str());
    EXPECT_EQ(std::vector<std::string>{"10.0.0.2"}, store.get_all("target"));
    EXPECT_EQ(nullptr, store.get("logging"));
}

// A failed load throws the path and the system text, and leaves nothing of an earlier load.
TEST(ConfigStore, MissingFileThrowsConfigErrorAndEmptiesTheStore) {
    std::string path =
        (std::filesystem::temp_directory_path() / "tarn-no-such-dir" / "agent.conf").string();
    ConfigFile file("target 10.0.0.1\n");
    ConfigStore store;
    store.load(file.path.c_str());
    try {
        store.load(path.c_str());
        FAIL() << "load of a missing file returned";
    } catch (const ConfigError& error) {
        EXPECT_EQ("fopen(" + path + ") failed: " + error::system_error_text(2), error.what());
#if !defined(_WIN32)
        EXPECT_NE(std::string::npos, std::string(error.what()).find("No such file"));
#endif
    }
    EXPECT_TRUE(store.get_all("target").empty());
}

}  // namespace
}  // namespace tarn::config
