// What StartTrace gets, on both platforms: under Wine its controller calls keep nothing, so
// the properties themselves are the test.
#include <gtest/gtest.h>

#include <cstring>

#include "net/etw_trace_state.hpp"

namespace tarn::net {
namespace {

TEST(EtwSession, PropertiesAskForARealTimeIndependentSession) {
    PropertiesBlock block;
    const EVENT_TRACE_PROPERTIES* properties = allocate_properties(block);
    EXPECT_EQ(EVENT_TRACE_REAL_TIME_MODE | EVENT_TRACE_INDEPENDENT_SESSION_MODE,
              properties->LogFileMode);
    EXPECT_EQ(133u, properties->Wnode.BufferSize);
    EXPECT_EQ(static_cast<ULONG>(WNODE_FLAG_TRACED_GUID), properties->Wnode.Flags);
    EXPECT_EQ(128u, properties->BufferSize);
    EXPECT_EQ(1u, properties->FlushTimer);
    EXPECT_EQ(0u, properties->LogFileNameOffset);
    ASSERT_EQ(120u, properties->LoggerNameOffset);
    EXPECT_STREQ("sabrel-agent", reinterpret_cast<const char*>(properties) + 120);
}

}  // namespace
}  // namespace tarn::net
