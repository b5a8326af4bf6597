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
Monitor::attributes(const ConnectionConfig *settings, Queue queue) const
{
    std::vector<std::pair<std::string, std::string>> shown;
    std::string node, error;
    std::time_t error_time;
    {
        std::lock_guard lock(mutex_);
        node = node_;
        error = last_error_;
        error_time = last_error_time_;
    }
    auto number = [](std::uint64_t value) { return std::to_string(value); };
    auto flag = [](bool on) { return std::string(on ? "TRUE" : "FALSE"); };
    shown.emplace_back("brokerConnected", flag(!node.empty()));
    shown.emplace_back("brokerNode", node);
    shown.emplace_back("eventsPublished", number(events_published.load()));
    shown.emplace_back("eventsDropped", number(events_dropped.load()));
    shown.emplace_back("fullsyncsPublished", number(fullsyncs_published.load()));
    shown.emplace_back("queueDepth", number(queue.depth));
    shown.emplace_back("queueHighWater", number(queue.high_water));
    shown.emplace_back("lastError", error);
    shown.emplace_back("lastErrorTime", error.empty() ? std::string() : generalized_time(error_time));
    shown.emplace_back("startTime", generalized_time(start_time_.load()));
    if (settings == nullptr)
        return shown;
    // The settings in effect, named after their keys; RABBIT_PASSWORD never.
    // A text the file did not set reads as empty.
    auto text = [](const char *setting) {
        return std::string(setting_is_set(setting) ? setting : "");
    };
    shown.emplace_back("rabbitHost", text(settings->host));
    shown.emplace_back("rabbitPort", std::to_string(settings->port));
    shown.emplace_back("rabbitVhost", text(settings->vhost));
    shown.emplace_back("rabbitExchange", text(settings->exchange));
    shown.emplace_back("rabbitRoutingKey", text(settings->routingkey));
    shown.emplace_back("rabbitUsername", text(settings->username));
    shown.emplace_back("rabbitTls", flag(settings->tls != 0));
    shown.emplace_back("rabbitCacert", text(settings->cacert));
    shown.emplace_back("rabbitCert", text(settings->cert));
    shown.emplace_back("rabbitKey", text(settings->key));
    shown.emplace_back("rabbitVerifyHostname", flag(settings->verify_hostname != 0));
    shown.emplace_back("excludeAttributes", text(settings->exclude_attributes));
    shown.emplace_back("publishReplicated", flag(settings->publish_replicated != 0));
    shown.emplace_back("publishInternal", flag(settings->publish_internal != 0));
    return shown;
}

Monitor &monitor()
{
    // Never destroyed: the publisher thread may outlive static destruction.
    static Monitor *const the_monitor = new Monitor();
    return *the_monitor;
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
