#pragma once
// A message as the publisher sends it, and those sent but not yet confirmed.

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "broker_link.h"
#include "commit_order.h"
#include "settings.h"

namespace dirmirror {

extern const char kFullsyncBody[];
extern const char kAliveBody[];

/* A message as it goes out, made once: a replay sends the same bytes. */
struct Message {
    using Clock = std::chrono::steady_clock;
    enum class Kind { change, fullsync, alive, control };
    Kind kind = Kind::change;
    std::string body;
    std::string message_id;
    std::int64_t timestamp = 0; // seconds since the epoch, when it was made
    std::uint64_t seq = 0;      // of a change
    ChangeFacts facts{};        // of a change
    std::string routing_key{};  // empty: RABBIT_ROUTINGKEY
    std::string bcc{};          // a second routing key, or empty
    std::size_t buffer_bytes = 0;
    std::optional<Clock::time_point> refused_since{}; // the broker's first nack
    bool replayed = false;                          // sent on a connection that broke
};

/* Messages published and not yet confirmed, oldest first. */
class InFlight {
  public:
    using Clock = std::chrono::steady_clock;
    struct Sent {
        std::uint64_t tag;
        Message message;
        Clock::time_point sent_at;
    };

    void add(std::uint64_t tag, Message message)
    {
        sent_.push_back({tag, std::move(message), Clock::now()});
    }
    // The messages an ack confirms, removed from the list.
    std::vector<Message> acknowledge(const BrokerLink::Frame &ack);
    // Marks the messages a nack refuses (they stay, to go out again).
    void refuse(const BrokerLink::Frame &nack);
    // The same for the oldest one alone (the broker closed the channel over it).
    void refuse_oldest();
    // The oldest one, removed from the list.
    Message take_oldest();
    // The wait for confirms starts afresh (a broker that blocked publishers
    // confirms nothing meanwhile).
    void restart_clock();
    // Everything still unconfirmed, oldest first, removed from the list.
    std::vector<Message> take_all();
    bool empty() const { return sent_.empty(); }
    std::size_t size() const { return sent_.size(); }
    const Sent &oldest() const { return sent_.front(); }
    bool holds(Message::Kind kind) const;

  private:
    bool covers(const Sent &sent, const BrokerLink::Frame &frame) const;
    std::deque<Sent> sent_;
};

/* "<start time in µs>.<pid>.<n>": unique across restarts of this server, and
 * between servers started in the same microsecond by their process ids. */
std::string next_message_id();

/* A control message (FULLSYNC, ALIVE, ...) made now, routed. */
Message control_message(Message::Kind kind, std::string_view body, const Settings &settings);

/* Each subtree's events under a routing key of its own when the settings say
 * so, and control messages under their own; else every message under
 * RABBIT_ROUTINGKEY. */
void route(Message &message, const Settings &settings);

/* The line logged when a confirm does not come in time. */
void log_confirm_timeout();

} // namespace dirmirror
