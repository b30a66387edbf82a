#include <cstdio>
#include <cstdlib>

#include "agent/platform.hpp"
#include "agent/run_agent.hpp"

namespace {

[[noreturn]] void print_usage() {
    std::fputs("usage: agent <config-file>\n", stderr);
    std::exit(-1);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        print_usage();
    }
    tarn::config_path = argv[1];
    return tarn::run_dispatcher();
}
