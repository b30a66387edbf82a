// The trace session through the Linux stand-in: its log lines in order, no-ops, failures.
#include "config/settings.hpp"
#include "dnstap_harness_linux.hpp"
#include "log_capture.hpp"
#include "net/etw_session.hpp"
#include "sensor/sensor_queue.hpp"

namespace tarn::net {
namespace {

const std::string failed = "ERROR - ETW session failed: ";

// The session's and the trace thread's lines (not the stand-in listener's), joined by "|".
std::string session_lines(const test::LogCapture& log) {
    std::string lines;
    for (const std::string& line : log.lines()) {
        lines += line.rfind("ERROR - dnstap ", 0) == 0 ? "" : (lines.empty() ? "" : "|") + line;
    }
    return lines;
}

// A session on a queue through stop, start, start, a DNS server's query once capture runs (if
// a record is wanted), stop, stop: its lines, and the record queued.
std::string lifecycle(uint32_t queue_size, const std::string& running, test::Bytes* record) {
    test::LogCapture log;
    sensor::SensorQueue queue(queue_size);
    EtwSession session;
    session.stop();
    session.set_callback(sensor::push_message, &queue);
    session.start();
    session.start();
    EXPECT_TRUE(log.wait_for(running, true));
    if (record != nullptr) {
        test::Writer dns_server(net::standin::dnstap_socket());
        dns_server.start();
        dns_server.query(0x4242);
        record->resize(100);
        int32_t length = 0;
        for (int i = 0; i < 500 && length == 0 && log.text().find(failed) == std::string::npos;
             ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            length = queue.pop(record->data(), 100);
        }
        record->resize(static_cast<size_t>(std::max(length, 0)));
    }
    session.stop();
    session.stop();
    return session_lines(log);
}

// One test, in this order: the stand-in keeps a started session for the life of the process,
// so only the first start can fail in StartTrace and every later one finds it started.
TEST(EtwSession, LifecycleLogLinesAndFailures) {
    test::TempDir directory;
    const std::string closing = "|Closing ETW trace...",
                      entering = "Entering ETW trace processing loop...";
    net::standin::dnstap_socket() = directory.path + "/missing/dnstap.sock";
    EXPECT_EQ("Starting ETW trace...|" + failed + "StartTrace() failed: No such file or directory" +
                  closing,
              lifecycle(64, failed, nullptr));

    net::standin::dnstap_socket() = directory.path + "/dnstap.sock";
    test::Bytes record;
    EXPECT_EQ(
        "Starting ETW trace...|Enable DNS server provider for ETW trace...|Opening ETW trace...|" +
            entering + closing + closing + "|ETW session finished",
        lifecycle(1 << 16, entering, &record));
    const std::string addresses =
        "\x09"
        "192.0.2.7"
        "\x0a"
        "127.0.0.53";  // device, server
    EXPECT_EQ(test::joined({{2, 0x67, 0x74, 0x85, 0x80},
                            test::Bytes(addresses.begin(), addresses.end()),
                            {0},
                            test::dns_message(0x4242, 0)}),
              record);

    // A record longer than the queue ends capture with the queue's refusal.
    const std::string attached =
        "Starting ETW trace...|ETW trace with name sabrel-agent already started!|Opening ETW "
        "trace...|";
    EXPECT_EQ(attached + entering + "|" + failed +
                  "string length 61  is larger than the size of the queue 64" + closing,
              lifecycle(64, entering, &record));

    // A consumer of our own holds the session: OpenTraceA fails, in ProcessTrace's words.
    EVENT_TRACE_LOGFILEA other{};
    other.LoggerName = const_cast<char*>("sabrel-agent");
    other.ProcessTraceMode = PROCESS_TRACE_MODE_REAL_TIME | PROCESS_TRACE_MODE_EVENT_RECORD;
    other.EventRecordCallback = [](PEVENT_RECORD) {};
    TRACEHANDLE held = OpenTraceA(&other);
    EXPECT_EQ(attached + failed + "ProcessTrace() failed: Device or resource busy" + closing,
              lifecycle(64, failed, nullptr));
    CloseTrace(held);

    // Capture that failed is tried again after the 10 s pause, and runs once it can.
    held = OpenTraceA(&other);
    test::LogCapture log;
    EtwSession session;
    session.start();
    ASSERT_TRUE(log.wait_for(failed, true));
    CloseTrace(held);
    EXPECT_TRUE(log.wait_for(entering) || log.wait_for(entering)) << "no second attempt";
    session.stop();
    EXPECT_EQ(attached + failed + "ProcessTrace() failed: Device or resource busy|" + attached +
                  entering + closing + closing + "|ETW session finished",
              session_lines(log));
}

}  // namespace
}  // namespace tarn::net
