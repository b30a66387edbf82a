// The trace session through the Linux stand-in: its log lines in order, no-ops, failures.
#include <functional>

#include "agent/statistics_reporter.hpp"
#include "dnstap_harness_linux.hpp"
#include "net/etw_trace_state.hpp"
#include "support/statistics.hpp"

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
        EXPECT_EQ(EVENT_TRACE_REAL_TIME_MODE | EVENT_TRACE_INDEPENDENT_SESSION_MODE,
                  running.LogFileMode);
    }
    config::etw_buffers = {};
}

// A session changed under a running capture is found at the next look, said and put right:
// moved to a file (real time restored, or the session made again when ETW refuses that), or
// its provider disabled; one stopped from outside is said and capture is back at once.
// Nothing arrives while it is changed; records flow after each repair.
TEST(EtwSession, ChangedUnderCaptureIsSaidAndPutRight) {
    test::Capture capture;
    const std::string name = "ERROR - ETW trace with name sabrel-agent ";
    auto to_file = [] {
        EVENT_TRACE_PROPERTIES properties{};
        ControlTraceA(0, "sabrel-agent", &properties, EVENT_TRACE_CONTROL_QUERY);
        properties.LogFileMode = EVENT_TRACE_FILE_MODE_SEQUENTIAL;
        EXPECT_EQ(ERROR_SUCCESS,
                  ControlTraceA(0, "sabrel-agent", &properties, EVENT_TRACE_CONTROL_UPDATE));
    };
    const struct {
        std::function<void()> change;
        bool silenced;  // the capture is still attached, but gets nothing
        bool anew;      // the session is made again: a new socket
        std::string line;
    } cases[] = {
        {to_file, true, false, name + "is no longer in real-time mode: real time restored"},
        {[] {
             EVENT_TRACE_PROPERTIES properties{};
             ControlTraceA(0, "sabrel-agent", &properties, EVENT_TRACE_CONTROL_QUERY);
             EnableTraceEx2(properties.Wnode.HistoricalContext, &dns_server_provider,
                            EVENT_CONTROL_CODE_DISABLE_PROVIDER, 0, 0, 0, 0, nullptr);
         },
         true, false, name + "lost the DNS Server provider: enabled again"},
        {[&] {
             to_file();
             standin::injected_failures().control_update = ERROR_BUSY;
         },
         true, true,
         name + "is no longer in real-time mode: it is made again (real time could not be "
                "restored: ControlTrace() failed: Device or resource busy)"},
        {test::stop_session_from_outside, false, true,
         name + "was stopped from outside: starting it again"}};
    const uint64_t repairs = tarn::statistics().session_repairs.get(),
                   stops = tarn::statistics().outside_stops.get();
    for (const auto& c : cases) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1100));  // a capture that ran
        test::LogCapture log;
        auto dns_server = std::make_unique<test::Writer>(capture.socket_path);
        dns_server->start();
        c.change();
        if (c.silenced) {
            dns_server->query(1);
            EXPECT_FALSE(capture.wait_for(capture.ids.size() + 1, 1)) << c.line;
            EXPECT_TRUE(watch_session());
        }
        EXPECT_TRUE(log.wait_for(c.line)) << c.line;
        const auto begin = std::chrono::steady_clock::now();
        if (c.anew) {
            EXPECT_TRUE(log.wait_for(entering)) << c.line;
            dns_server = std::make_unique<test::Writer>(capture.socket_path);
            dns_server->start();
        }
        dns_server->query(2);
        EXPECT_TRUE(capture.wait_for(capture.ids.size() + 1)) << c.line;
        EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(3)) << c.line;
        EXPECT_TRUE(watch_session());
    }
    EXPECT_EQ(repairs + 3, tarn::statistics().session_repairs.get());
    EXPECT_EQ(stops + 1, tarn::statistics().outside_stops.get());
}

// ETW's loss counts start from 0 in a session made anew and wrap at 32 bits: the figures add
// what they grew by. Nothing changing, a figures line still comes every tenth look.
TEST(StatisticsReporter, EtwLossesAcrossARestartAndAWrapAndAHeartbeat) {
    test::TempDir directory;
    config::dnstap_socket = directory.path + "/dnstap.sock";
    auto run_session = [] {
        test::stop_session_from_outside();
        test::LogCapture log;
        EtwSession session;
        session.start();
        EXPECT_TRUE(log.wait_for(entering));
    };
    run_session();
    test::LogCapture log;
    auto lines_with = [&](const std::string& text) {
        size_t count = 0;
        for (const std::string& line : log.lines()) {
            count += line.find(text) != std::string::npos ? 1 : 0;
        }
        return count;
    };
    auto shows = [&](const std::string& text) {
        for (int i = 0; i < 50 && lines_with(text) == 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return lines_with(text) == 1;
    };
    StatisticsReporter reporter(nullptr, 25);  // a line each 100 ms, a heartbeat each second
    reporter.start();
    const uint64_t events = tarn::statistics().etw_events_lost.get(),
                   buffers = tarn::statistics().etw_buffers_lost.get();
    // The figures' change and, in brackets, the total since this test began.
    auto figures = [&](uint64_t event_change, uint64_t event_total, uint64_t buffer_change,
                       uint64_t buffer_total) {
        return "ETW events lost +" + std::to_string(event_change) + " (" +
               std::to_string(events + event_total) + "), ETW buffers lost +" +
               std::to_string(buffer_change) + " (" + std::to_string(buffers + buffer_total) + ")";
    };
    const uint64_t wrapped = uint64_t{0xFFFFFFF0u} + 127;
    standin::lose("sabrel-agent", 100, 5);
    EXPECT_TRUE(shows(figures(100, 100, 5, 5)));
    run_session();
    standin::lose("sabrel-agent", 7, 1);
    EXPECT_TRUE(shows(figures(7, 107, 1, 6)));
    standin::lose("sabrel-agent", 0xFFFFFFF0u, 0);
    EXPECT_TRUE(shows(figures(0xFFFFFFF0u, wrapped - 20, 0, 6)));
    standin::lose("sabrel-agent", 20, 0);  // the count wraps to 11
    EXPECT_TRUE(shows(figures(20, wrapped, 0, 6)));
    // Quiet now: one line a second (ten looks), not one a look.
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    const size_t heartbeats = lines_with(figures(0, wrapped, 0, 6));
    EXPECT_GE(heartbeats, 1u);
    EXPECT_LE(heartbeats, 3u);
    reporter.stop();
}

}  // namespace
}  // namespace tarn::net
