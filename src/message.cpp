#include "message.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <ctime>

#include "log.h"
#include "subtree.h"

namespace dirmirror {

const char kFullsyncBody[] = "{\"op_type\": \"FULLSYNC\"}";
const char kAliveBody[] = "{\"op_type\": \"ALIVE\"}";

std::string next_message_id()
{
    static const long long started_us =
        std::chrono::duration_cast<std::chrono::microseconds>(
            std::chrono::system_clock::now().time_since_epoch())
            .count();
    static std::atomic<std::uint64_t> counter{0};
    return std::to_string(started_us) + "." + std::to_string(getpid()) + "." +
           std::to_string(++counter);
}

void route(Message &message, const Settings &settings)
{
    if (!settings.routing_per_subtree)
        return;
    auto key = [&settings](std::string_view name) {
        return settings.routing_key + "." + std::string(name);
    };
    if (message.kind != Message::Kind::change) {
        message.routing_key = key(kControlRoutingName);
        return;
    }
    message.routing_key = key(message.facts.subtree);
    if (!message.facts.entering.empty())
        message.bcc = key(message.facts.entering);
}

Message control_message(Message::Kind kind, std::string_view body, const Settings &settings)
{
    Message message{.kind = kind,
                    .body = std::string(body),
                    .message_id = next_message_id(),
                    .timestamp = static_cast<std::int64_t>(std::time(nullptr))};
    route(message, settings);
    return message;
}

void log_confirm_timeout()
{
    log_failure(kSendSubsystem, "%s :: %s\n", kWaitContext, amqp_error_string2(AMQP_STATUS_TIMEOUT));
}

bool InFlight::covers(const Sent &sent, const BrokerLink::Frame &frame) const
{
    return frame.multiple ? sent.tag <= frame.delivery_tag : sent.tag == frame.delivery_tag;
}

std::vector<Message> InFlight::acknowledge(const BrokerLink::Frame &ack)
{
    std::vector<Message> confirmed;
    std::erase_if(sent_, [&](Sent &sent) {
        if (!covers(sent, ack))
            return false;
        confirmed.push_back(std::move(sent.message));
        return true;
    });
    return confirmed;
}

void InFlight::refuse(const BrokerLink::Frame &nack)
{
    const auto now = Clock::now();
    for (auto &sent : sent_)
        if (covers(sent, nack) && !sent.message.refused_since)
            sent.message.refused_since = now;
}

void InFlight::refuse_oldest()
{
    if (!sent_.empty() && !sent_.front().message.refused_since)
        sent_.front().message.refused_since = Clock::now();
}

Message InFlight::take_oldest()
{
    Message oldest = std::move(sent_.front().message);
    sent_.pop_front();
    return oldest;
}

void InFlight::restart_clock()
{
    const auto now = Clock::now();
    for (auto &sent : sent_)
        sent.sent_at = now;
}

bool InFlight::holds(Message::Kind kind) const
{
    return std::any_of(sent_.begin(), sent_.end(),
                       [kind](const Sent &sent) { return sent.message.kind == kind; });
}

std::vector<Message> InFlight::take_all()
{
    std::vector<Message> all;
    for (auto &sent : sent_)
        all.push_back(std::move(sent.message));
    sent_.clear();
    return all;
}

} // namespace dirmirror
