#include "deliver_once.h"

#include "broker_link.h"
#include "log.h"
#include "message.h"

namespace dirmirror {

namespace {

using Clock = std::chrono::steady_clock;

/* Waits for the confirm of the one message in `in_flight`. */
bool await_confirm(BrokerLink &link, InFlight &in_flight, const Settings &settings,
                   std::chrono::milliseconds reply_wait)
{
    const auto deadline = Clock::now() + reply_wait;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            log_confirm_timeout();
            return false;
        }
        const auto frame = link.read(left);
        if (frame.event == BrokerLink::Event::lost)
            return false;
        if (frame.event == BrokerLink::Event::nack) {
            log_publish_refused(settings, "Брокер отклонил сообщение (basic.nack)\n");
            return false;
        }
        if (frame.event == BrokerLink::Event::ack && !in_flight.acknowledge(frame).empty()) {
            link.close_politely();
            return true;
        }
    }
}

} // namespace

bool deliver_once(const Settings &settings, std::string_view body, FullsyncDebt &debt,
                  const Identity *identity, std::chrono::milliseconds reply_wait)
{
    const bool fullsync = body == kFullsyncBody;
    BrokerLink link(reply_wait);
    InFlight in_flight;
    bool confirmed = false;
    if (link.open(settings)) {
        Message message = control_message(
            fullsync ? Message::Kind::fullsync : Message::Kind::control, body, settings);
        const MessageProperties properties{.routing_key = message.routing_key,
                                           .message_id = message.message_id,
                                           .timestamp = message.timestamp,
                                           .identity = identity};
        if (const auto tag = link.publish(settings, body, properties)) {
            in_flight.add(*tag, std::move(message));
            confirmed = await_confirm(link, in_flight, settings, reply_wait);
        }
    }
    // Only a confirmed FULLSYNC tells consumers to catch up on what was lost.
    if (!confirmed)
        debt.lost();
    else if (fullsync)
        debt.fullsync_confirmed(false);
    return confirmed;
}

} // namespace dirmirror
