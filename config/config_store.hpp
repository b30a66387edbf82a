#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace tarn::config {

// A blank between the words of a line, as isspace sees it; bytes 0x80 and above never are.
bool is_space(char byte);

struct ConfigEntry {
    std::string key;    // lower case
    std::string value;  // as cut from the line
};

// Ordered key/value entries of the configuration file; keys may repeat.
class ConfigStore {
  public:
    // Throws ConfigError when the file cannot be opened.
    void load(const char* path);
    // The same from a stream open for reading, which stays open.
    void read(std::FILE* file);
    // First value of the key in file order, or null.
    const char* get(const char* key) const;
    // Every value of the key, in file order.
    std::vector<std::string> get_all(const char* key) const;
    const std::vector<ConfigEntry>& all() const { return entries; }

    // One line as fgets returned it; nothing when the line holds no key.
    static std::optional<ConfigEntry> parse_line(const char* line);

  private:
    std::vector<ConfigEntry> entries;
};

}  // namespace tarn::config
