#pragma once

#include <cstdint>
#include <list>
#include <string>

#include "config/settings.hpp"

namespace tarn {

// One reading of the figures an operator alerts on, for the log's figures line and the
// metrics file alike: the same counts, read once.
struct Figures {
    static constexpr int count = 12;
    static constexpr int events_decoded = 0;  // the first of the line
    static constexpr int first_etw = 10;      // the last two come from ETW's query of the session
    uint64_t values[count] = {};
    bool etw_known = false;  // whether the session could be queried
};

// What the metrics file tells beside the figures.
struct Gauges {
    uint64_t queue_used = 0;
    uint64_t queue_size = 0;
    int32_t target_in_use = -1;  // place in targets
    const std::list<config::Target>* targets = &config::target_list;
    bool capture_running = false;
    int64_t last_event_time = 0;  // seconds since 1970, 0 before the first event
    int64_t start_time = 0;
};

// Reads every counter, after the periodic look at the session (which may put it right).
Figures read_figures();
// "Statistics: events decoded +5 (98), ..." for now against the figures of the line before.
std::string figures_line(const Figures& now, const Figures& before);
// The Prometheus text format (0.0.4), with HELP and TYPE lines.
std::string metrics_text(const Figures& figures, const Gauges& gauges);

}  // namespace tarn
