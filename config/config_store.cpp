#include "config/config_store.hpp"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "error/error.hpp"

namespace tarn::config {

// Bytes 0x80 and above count as signed (negative) chars, which are never spaces; handing
// them to isspace as negative values would be undefined, so they are settled here.
bool is_space(char byte) {
    auto value = static_cast<signed char>(byte);
    return value >= 0 && std::isspace(value) != 0;
}

namespace {

bool ends_word(char byte) {
    return byte == '\0' || byte == '#' || is_space(byte);
}

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

constexpr int line_buffer_size = 4096;

}  // namespace

std::optional<ConfigEntry> ConfigStore::parse_line(const char* line) {
    const char* key_start = line;
    while (*key_start != '\0' && *key_start != '#' && is_space(*key_start)) {
        ++key_start;
    }
    const char* key_end = key_start;
    while (!ends_word(*key_end)) {
        ++key_end;
    }
    if (key_end == key_start) {
        return std::nullopt;
    }

    const char* value_start = key_end;
    while (*value_start != '\0' && *value_start != '#' && is_space(*value_start)) {
        ++value_start;
    }
    // The value ends after its last word: spaces between words stay, those before a comment
    // or the end of the line go.
    const char* value_end = value_start;
    for (const char* p = value_start; *p != '\0' && *p != '#'; ++p) {
        if (!is_space(*p)) {
            value_end = p + 1;
        }
    }

    ConfigEntry entry{std::string(key_start, key_end), std::string(value_start, value_end)};
    for (char& byte : entry.key) {
        byte = static_cast<char>(std::tolower(static_cast<unsigned char>(byte)));
    }
    return entry;
}

void ConfigStore::load(const char* path) {
    entries.clear();
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path, "r"));
    if (!file) {
        int code = errno;
        error::throw_failure<ConfigError>(std::string("fopen(") + path + ")", code);
    }
    read(file.get());
}

void ConfigStore::read(std::FILE* file) {
    entries.clear();
    char line[line_buffer_size];
    while (std::fgets(line, sizeof line, file) != nullptr) {
        if (auto entry = parse_line(line)) {
            entries.push_back(std::move(*entry));
        }
    }
}

const char* ConfigStore::get(const char* key) const {
    for (const auto& entry : entries) {
        if (entry.key == key) {
            return entry.value.c_str();
        }
    }
    return nullptr;
}

std::vector<std::string> ConfigStore::get_all(const char* key) const {
    std::vector<std::string> values;
    for (const auto& entry : entries) {
        if (entry.key == key) {
            values.push_back(entry.value);
        }
    }
    return values;
}

}  // namespace tarn::config
