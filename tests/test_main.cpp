#include <gtest/gtest.h>

#include "log_capture.hpp"

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    tarn::test::open_test_log();
    return RUN_ALL_TESTS();
}
