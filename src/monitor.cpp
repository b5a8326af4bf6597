#include "monitor.h"

namespace dirmirror {

void Monitor::broker_node(std::string node)
{
    std::lock_guard lock(mutex_);
    node_ = std::move(node);
}

void Monitor::failure(std::string_view text, std::time_t when) noexcept
{
    try {
        // One line, as an LDAP value reads best.
        std::string line(text);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
            line.pop_back();
        std::lock_guard lock(mutex_);
        last_error_ = std::move(line);
        last_error_time_ = when;
    } catch (...) {
        // Out of memory while reporting a failure: the log line still went out.
    }
}

std::vector<std::pair<std::string, std::string>>
Monitor::attributes(const Settings &settings, Gauges gauges, Reader reader) const
{
    std::vector<std::pair<std::string, std::string>> shown;
    auto number = [](std::uint64_t value) { return std::to_string(value); };
    shown.emplace_back("eventsPublished", number(events_published.load()));
    shown.emplace_back("eventsDropped", number(events_dropped.load()));
    shown.emplace_back("fullsyncsPublished", number(fullsyncs_published.load()));
    shown.emplace_back("eventsReplayed", number(events_replayed.load()));
    shown.emplace_back("valuesReplaced", number(values_replaced.load()));
    shown.emplace_back("queueDepth", number(gauges.queue_depth));
    shown.emplace_back("queueHighWater", number(gauges.queue_high_water));
    shown.emplace_back("bufferBytes", number(gauges.buffer_bytes));
    shown.emplace_back("bufferHighWater", number(gauges.buffer_high_water));
    shown.emplace_back("lagSeconds", std::to_string(gauges.lag_seconds));
    if (reader != Reader::administrator)
        return shown;
    std::string node, error;
    std::time_t error_time;
    {
        std::lock_guard lock(mutex_);
        node = node_;
        error = last_error_;
        error_time = last_error_time_;
    }
    shown.emplace_back("brokerConnected", node.empty() ? "FALSE" : "TRUE");
    shown.emplace_back("brokerBlocked", broker_blocked.load() ? "TRUE" : "FALSE");
    shown.emplace_back("brokerNode", node);
    shown.emplace_back("lastError", error);
    shown.emplace_back("lastErrorTime", error.empty() ? std::string() : generalized_time(error_time));
    shown.emplace_back("startTime", generalized_time(start_time_.load()));
    for (auto &setting : settings_shown(settings))
        shown.push_back(std::move(setting));
    return shown;
}

std::string generalized_time(std::time_t when)
{
    std::tm utc{};
    gmtime_r(&when, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%d%H%M%SZ", &utc);
    return text;
}

} // namespace dirmirror
