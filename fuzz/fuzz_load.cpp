// A whole configuration file through load (a real file, read with fgets) and the settings
// taken from it.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "config/config_store.hpp"
#include "config/settings.hpp"

namespace {

void require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

const std::string& file_path() {
    static const std::string path = "/tmp/tarn-fuzz-load-" + std::to_string(getpid()) + ".conf";
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string& path = file_path();
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        return 0;
    }
    std::fwrite(data, 1, size, file);
    std::fclose(file);

    tarn::config::ConfigStore store;
    store.load(path.c_str());
    std::remove(path.c_str());

    for (const char* key : {"target", "queue-size", "logging"}) {
        auto all = store.get_all(key);
        const char* first = store.get(key);
        require((first == nullptr) == all.empty());
        if (first != nullptr) {
            require(all.front() == first);
        }
    }
    tarn::config::target_list.clear();
    tarn::config::apply_settings(store);
    require(tarn::config::target_list.size() == store.get_all("target").size());
    for (const auto& target : tarn::config::target_list) {
        require(target.port != 0 && target.timeout != 0);
    }
    tarn::config::target_list.clear();
    tarn::config::queue_size = 104857600;
    return 0;
}
