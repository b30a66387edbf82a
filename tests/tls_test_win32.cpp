// SChannel on a slow link, under Wine: scripts/wine-tls-test.sh starts slow_tls_reader.py (a
// Linux program) twice, on DIR/moving and DIR/stalled, and names them in TARN_SLOW_READERS="DIR
// PORT STALLED-PORT"; DIR holds the agent's agent.pfx (password pfx-secret) and ca.pem.
#include <cstdlib>
#include <sstream>

#include "tls_harness.hpp"

namespace tarn::sensor {
namespace {

TEST(WineTls, SlowLinkMovesOnAndAStalledOneLosesAndRepeatsNothing) {
    const char* readers = std::getenv("TARN_SLOW_READERS");
    if (readers == nullptr) {
        GTEST_SKIP() << "run by scripts/wine-tls-test.sh";
    }
    std::istringstream words(readers);
    std::string dir;
    uint16_t moving = 0, stalled = 0;
    ASSERT_TRUE(words >> dir >> moving >> stalled) << readers;
    config::TlsSettings tls;
    tls.on = true;
    tls.ca_file = dir + "/ca.pem";
    tls.cert_file = dir + "/agent.pfx";
    tls.cert_password = "pfx-secret";
    check_slow_link(tls, dir + "/moving", moving, 0);
    check_slow_link(tls, dir + "/stalled", stalled, 150000);
}

}  // namespace
}  // namespace tarn::sensor
