#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <list>
#include <mutex>
#include <string>
#include <unordered_map>

namespace tarn::collector {

// Why a connection was refused or dropped.
enum class Refusal { limit, stall, tls, protocol, count };
// The outputs whose drops are told.
enum class Output { json, pcap, dnstap, clickhouse, count };

// The collector's figures for /metrics: written by the serving loop, read by the HTTP thread.
// Agents are labelled by their TLS subject or their address without its port, so a
// reconnection keeps its series; at most agent_limit of them, the least recently seen making
// way, their records then counted under "other".
class CollectorMetrics {
  public:
    explicit CollectorMetrics(size_t agent_limit) : agent_limit(agent_limit) {}

    void set_connected(size_t agents);
    void refused(Refusal reason);
    void received(uint64_t bytes);
    void took(const std::string& agent, uint64_t records, std::time_t now);
    void set_dropped(Output output, uint64_t total);
    // The Prometheus text format (0.0.4).
    std::string text() const;

  private:
    struct Agent {
        uint64_t records = 0;
        std::time_t last = 0;
        std::list<std::string>::iterator recency;
    };

    const size_t agent_limit;
    mutable std::mutex lock;
    size_t connected = 0;
    uint64_t records = 0;
    uint64_t bytes = 0;
    uint64_t refusals[static_cast<size_t>(Refusal::count)] = {};
    uint64_t dropped[static_cast<size_t>(Output::count)] = {};
    std::unordered_map<std::string, Agent> agents;
    std::list<std::string> recency;  // most recently seen first
    Agent other;
};

}  // namespace tarn::collector
