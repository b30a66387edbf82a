// The trace session through the Linux stand-in: its log lines in order, no-ops, failures.
#include "agent/statistics_reporter.hpp"
#include "dnstap_harness_linux.hpp"
#include "net/etw_trace_state.hpp"

namespace tarn::net {
namespace {

const std::string failed = "ERROR - ETW session failed: ";
const std::string entering = "Entering ETW trace processing loop...";

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
        test::Writer dns_server(config::dnstap_socket);
        dns_server.start();
        dns_server.query(0x4242);
        record->resize(100);
        int32_t length = 0;
        for (int i = 0; i < 500 && length == 0 && log.text().find("ERROR - ") == std::string::npos;
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
    const std::string closing = "|Closing ETW trace...";
    test::stop_session_from_outside();
    config::dnstap_socket = directory.path + "/missing/dnstap.sock";
    EXPECT_EQ("Starting ETW trace...|" + failed + "StartTrace() failed: No such file or directory" +
                  closing,
              lifecycle(64, failed, nullptr));

    config::dnstap_socket = directory.path + "/dnstap.sock";
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

    // A record longer than the queue is a counted drop with one line; capture goes on.
    const std::string attached =
        "Starting ETW trace...|ETW trace with name sabrel-agent already started!|Opening ETW "
        "trace...|";
    EXPECT_EQ(attached + entering +
                  "|ERROR - Record of 61 bytes dropped: the queue holds at most 60 (queue-size "
                  "64)" +
                  closing + closing + "|ETW session finished",
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
}

// A session whose provider could not be enabled is enabled by the next attempt, which then
// captures: the retry never sits in the processing loop of a session that delivers nothing.
TEST(EtwSession, RetryEnablesTheProviderOnASessionLeftUnenabled) {
    test::TempDir directory;
    test::stop_session_from_outside();
    config::dnstap_socket = directory.path + "/dnstap.sock";
    standin::injected_failures().enable_trace = ERROR_ACCESS_DENIED;
    test::LogCapture log;
    sensor::SensorQueue queue(1 << 16);
    EtwSession session;
    session.set_callback(sensor::push_message, &queue);
    session.start();
    ASSERT_TRUE(log.wait_for(failed, true));
    ASSERT_TRUE(log.wait_for(entering) || log.wait_for(entering));  // 10 s after a failure
    test::Writer dns_server(config::dnstap_socket);
    dns_server.start();
    dns_server.query(0x1234);
    test::Bytes record(200);
    int32_t length = 0;
    for (int i = 0; i < 500 && length == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        length = queue.pop(record.data(), 200);
    }
    session.stop();
    EXPECT_LT(0, length) << "no event after the retry";
    EXPECT_EQ("Starting ETW trace...|Enable DNS server provider for ETW trace...|" + failed +
                  "EnableTraceEx2() failed: Permission denied|Starting ETW trace...|ETW trace with "
                  "name sabrel-agent already started!|Opening ETW trace...|" +
                  entering + "|Closing ETW trace...|Closing ETW trace...|ETW session finished",
              session_lines(log));
}

// Whatever fails, each attempt closes the one handle it opened, exactly once; a stop during the
// pause before the next attempt returns at once.
TEST(EtwSession, FailedAttemptsLeaveNoTraceHandleOpen) {
    test::TempDir directory;
    config::dnstap_socket = directory.path + "/dnstap.sock";
    const size_t bad_closes = standin::bad_trace_closes();
    EtwTraceState state;
    for (int attempt = 0; attempt < 100; ++attempt) {
        (attempt % 2 == 0 ? standin::injected_failures().process_trace
                          : standin::injected_failures().enable_trace) = ERROR_BUSY;
        trace_once(state);
    }
    EXPECT_EQ(0u, standin::open_trace_handles());
    EXPECT_EQ(bad_closes, standin::bad_trace_closes()) << "a handle was closed twice";

    test::LogCapture log;
    standin::injected_failures().process_trace = ERROR_BUSY;
    EtwSession session;
    session.start();
    ASSERT_TRUE(log.wait_for(failed + "ProcessTrace() failed: Device or resource busy"));
    auto begin = std::chrono::steady_clock::now();
    session.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(3));
    EXPECT_EQ(0u, standin::open_trace_handles());
}

// The buffers asked for go to StartTrace when the session is made; a session found running
// takes a new largest number of buffers (and stays real-time), and the log says what it keeps.
TEST(EtwSession, BuffersAskedForAreGivenOrReported) {
    test::TempDir directory;
    config::dnstap_socket = directory.path + "/dnstap.sock";
    struct Case {
        bool fresh;
        config::EtwBuffers asked;
        ULONG size_kb, minimum, maximum;
        std::string lines;
    } cases[] = {
        {true, {}, 128, 0, 0, ""},
        {false, {}, 128, 0, 0, ""},
        {false,
         {256, 64, 512},
         128,
         0,
         512,
         "ETW trace with name sabrel-agent now has at most 512 buffers|ETW trace with name "
         "sabrel-agent keeps its buffers (128 KB, 0 to 512) until it is made again"},
        {true, {256, 64, 512}, 256, 64, 512, ""},
    };
    for (const Case& c : cases) {
        if (c.fresh) {
            test::stop_session_from_outside();
        }
        config::etw_buffers = c.asked;
        test::LogCapture log;
        EtwSession session;
        session.start();
        EXPECT_TRUE(log.wait_for(entering));
        session.stop();
        std::string lines;
        for (const std::string& line : log.lines()) {
            lines += line.find("buffers") == std::string::npos ? "" : "|" + line;
        }
        EVENT_TRACE_PROPERTIES running{};
        ASSERT_EQ(ERROR_SUCCESS,
                  ControlTraceA(0, "sabrel-agent", &running, EVENT_TRACE_CONTROL_QUERY));
        EXPECT_EQ(c.lines.empty() ? "" : "|" + c.lines, lines);
        EXPECT_EQ(c.size_kb, running.BufferSize);
        EXPECT_EQ(c.minimum, running.MinimumBuffers);
        EXPECT_EQ(c.maximum, running.MaximumBuffers);
        EXPECT_EQ(EVENT_TRACE_REAL_TIME_MODE, running.LogFileMode);
    }
    config::etw_buffers = {};
}

// ETW's loss totals start again from 0 when the session is made again: the figures line counts
// the new total as the change, never a difference that wraps around.
TEST(StatisticsReporter, EtwLossesAcrossASessionRestart) {
    test::TempDir directory;
    config::dnstap_socket = directory.path + "/dnstap.sock";
    auto run_session = [] {
        test::LogCapture log;
        EtwSession session;
        session.start();
        EXPECT_TRUE(log.wait_for(entering));
    };
    auto figures_line = [](StatisticsReporter& reporter) {
        test::LogCapture log;
        reporter.start();
        reporter.stop();
        std::string line = log.lines().at(0);
        return line.substr(line.find("ETW events lost"));
    };
    run_session();
    StatisticsReporter reporter;
    figures_line(reporter);
    standin::lose("sabrel-agent", 100, 5);
    EXPECT_EQ("ETW events lost +100 (100), ETW buffers lost +5 (5)", figures_line(reporter));
    test::stop_session_from_outside();
    run_session();
    standin::lose("sabrel-agent", 7, 1);
    EXPECT_EQ("ETW events lost +7 (7), ETW buffers lost +1 (1)", figures_line(reporter));
}

}  // namespace
}  // namespace tarn::net
