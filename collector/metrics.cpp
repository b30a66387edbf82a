#include "collector/metrics.hpp"

#include <cstdio>

#include "support/prometheus_label.hpp"

namespace tarn::collector {

namespace {

constexpr const char* refusal_names[] = {"limit", "stall", "tls", "protocol"};
constexpr const char* output_names[] = {"json", "pcap", "dnstap", "clickhouse"};

void header(std::string& out, const char* name, const char* type, const char* help) {
    out += std::string("# HELP sabrel_collector_") + name + " " + help +
           "\n# TYPE sabrel_collector_" + name + " " + type + "\n";
}

void sample(std::string& out, const char* name, const std::string& labels, uint64_t value) {
    out += std::string("sabrel_collector_") + name + labels + " " + std::to_string(value) + "\n";
}

std::string label(const char* key, const std::string& value) {
    return std::string("{") + key + "=\"" + prometheus_label(value) + "\"}";
}

}  // namespace

void CollectorMetrics::set_connected(size_t agents_now) {
    std::lock_guard<std::mutex> hold(lock);
    connected = agents_now;
}

void CollectorMetrics::refused(Refusal reason) {
    std::lock_guard<std::mutex> hold(lock);
    ++refusals[static_cast<size_t>(reason)];
}

void CollectorMetrics::received(uint64_t count) {
    std::lock_guard<std::mutex> hold(lock);
    bytes += count;
}

void CollectorMetrics::set_dropped(Output output, uint64_t total) {
    std::lock_guard<std::mutex> hold(lock);
    dropped[static_cast<size_t>(output)] = total;
}

void CollectorMetrics::took(const std::string& name, uint64_t count, std::time_t now) {
    std::lock_guard<std::mutex> hold(lock);
    records += count;
    auto found = agents.find(name);
    if (found == agents.end()) {
        if (agents.size() >= agent_limit) {
            auto oldest = agents.find(recency.back());
            other.records += oldest->second.records;
            other.last = std::max(other.last, oldest->second.last);
            agents.erase(oldest);
            recency.pop_back();
        }
        recency.push_front(name);
        found = agents.emplace(name, Agent{0, 0, recency.begin()}).first;
    } else {
        recency.splice(recency.begin(), recency, found->second.recency);
    }
    found->second.records += count;
    found->second.last = now;
}

std::string CollectorMetrics::text() const {
    std::lock_guard<std::mutex> hold(lock);
    std::string out;
    header(out, "agents_connected", "gauge", "Agent connections open.");
    sample(out, "agents_connected", "", connected);
    header(out, "records_total", "counter", "Records received from agents.");
    sample(out, "records_total", "", records);
    header(out, "bytes_total", "counter", "Bytes received from agents.");
    sample(out, "bytes_total", "", bytes);
    header(out, "connections_refused_total", "counter",
           "Agent connections refused or dropped, by reason.");
    for (size_t i = 0; i < static_cast<size_t>(Refusal::count); ++i) {
        sample(out, "connections_refused_total", label("reason", refusal_names[i]), refusals[i]);
    }
    header(out, "output_dropped_total", "counter", "Items an output dropped, by output.");
    for (size_t i = 0; i < static_cast<size_t>(Output::count); ++i) {
        sample(out, "output_dropped_total", label("output", output_names[i]), dropped[i]);
    }
    header(out, "agent_records_total", "counter", "Records received, by agent.");
    for (const auto& [name, agent] : agents) {
        sample(out, "agent_records_total", label("agent", name), agent.records);
    }
    if (other.last != 0) {
        sample(out, "agent_records_total", label("agent", "other"), other.records);
    }
    header(out, "agent_last_record_timestamp_seconds", "gauge",
           "When a record last came from the agent.");
    for (const auto& [name, agent] : agents) {
        sample(out, "agent_last_record_timestamp_seconds", label("agent", name),
               static_cast<uint64_t>(agent.last));
    }
    if (other.last != 0) {
        sample(out, "agent_last_record_timestamp_seconds", label("agent", "other"),
               static_cast<uint64_t>(other.last));
    }
    return out;
}

}  // namespace tarn::collector
