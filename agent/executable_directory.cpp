#include <string>

#include "agent/platform.hpp"

namespace tarn {

std::string directory_part(const std::string& path, char separator) {
    auto position = path.rfind(separator);
    if (position == std::string::npos) {
        return ".";
    }
    return path.substr(0, position);
}

}  // namespace tarn
