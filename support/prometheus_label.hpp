#pragma once

#include <string>
#include <string_view>

namespace tarn {

// A label value of the Prometheus text format: backslash, quote and newline escaped.
inline std::string prometheus_label(std::string_view value) {
    std::string escaped;
    for (char c : value) {
        escaped += c == '\\' ? "\\\\" : c == '"' ? "\\\"" : c == '\n' ? "\\n" : std::string(1, c);
    }
    return escaped;
}

}  // namespace tarn
