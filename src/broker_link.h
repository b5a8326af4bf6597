#pragma once
// One AMQP connection to the broker with channel 1 in confirm mode, owned by
// the one thread that uses it (rabbitmq-c connections are not shared between
// threads). Every failure is logged once and leaves the link closed.

#include <amqp.h>

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "settings.h"

namespace dirmirror {

/* The subsystem of every line about delivery. */
inline constexpr char kSendSubsystem[] = "send_message";
/* The context of lines about a frame or a confirm that failed to arrive. */
inline constexpr char kWaitContext[] = "amqp_simple_wait_frame_noblock(conn)";

/* Checks a reply of the AMQP client library: logs what went wrong under
 * `subsystem`, prefixed with `context`; true when the reply is not a failure. */
bool check_amqp_reply(const char *subsystem, const char *context, const amqp_rpc_reply_t &reply);

/* The version of the message contract, as the AsyncAPI document gives it. */
inline constexpr char kMessageFormat[] = "1.0.0";

/* Who publishes: every message names it. */
struct Identity {
    std::string origin; // "host:port" of this server
    std::string run_id; // one start of the plug-in
};

/* The properties every message carries besides its type and persistence. */
struct MessageProperties {
    std::string_view routing_key{}; // empty: RABBIT_ROUTINGKEY
    std::string_view bcc{};         // a second routing key, in RabbitMQ's BCC header (hidden from consumers)
    std::string_view message_id{};
    std::int64_t timestamp = 0; // seconds since the epoch
    const Identity *identity = nullptr;
    // Headers of a change event; a control message has none (seq 0).
    std::uint64_t seq = 0;
    bool replicated = false;
    std::string_view entry_uuid{}; // left out when empty
    std::string_view csn{};        // left out when empty
};

class BrokerLink {
  public:
    enum class Event {
        nothing,
        ack,
        nack,
        lost,      // the connection broke or the broker closed it
        refused,   // the broker closed the channel over what was published last
        blocked,   // the broker stopped taking publishes (a memory or disk alarm)
        unblocked, // and takes them again
    };
    struct Frame {
        Event event = Event::nothing;
        std::uint64_t delivery_tag = 0;
        bool multiple = false;
        bool too_large = false; // refused: the broker named the message's size
    };

    explicit BrokerLink(std::chrono::milliseconds reply_wait);
    ~BrokerLink() { drop(); }
    BrokerLink(const BrokerLink &) = delete;
    BrokerLink &operator=(const BrokerLink &) = delete;

    // Connects to the first node of RABBIT_HOST that answers, beginning after
    // the node whose connection failed last; with RABBIT_TLS over TLS. The
    // login asks for connection.blocked, so a broker that stops taking
    // publishes says so.
    bool open(const Settings &settings);
    bool is_open() const { return conn_ != nullptr; }
    // "host:port" of the node connected to; empty when closed.
    const std::string &node() const { return node_; }
    int fd() const { return fd_; }
    // The delivery tag of the published message, or nullopt (the link is closed).
    std::optional<std::uint64_t> publish(const Settings &settings, std::string_view body,
                                         const MessageProperties &properties);
    // One frame if one arrives within `wait`; acks, nacks and flow control are
    // reported, other frames are consumed; a channel the broker closed gives
    // `refused`, a closed or broken connection `lost`. Either way the link
    // is closed then.
    Frame read(std::chrono::microseconds wait);
    void close_politely();
    void drop();
    // From another thread: makes a call blocked on the socket return.
    void interrupt();

  private:
    bool open_node(const Settings &settings, const BrokerNode &node);
    bool log_in(const Settings &settings);
    bool check_reply(const Settings &settings, const char *context, const amqp_rpc_reply_t &reply);
    Frame read_frame(std::chrono::microseconds wait);
    Frame closed_by_broker(const amqp_frame_t &frame);

    const std::chrono::milliseconds reply_wait_;
    size_t first_node_ = 0; // of RABBIT_HOST's list, modulo its length
    bool established_ = false;
    std::string node_;
    amqp_connection_state_t conn_ = nullptr;
    std::uint64_t next_tag_ = 1;
    std::mutex fd_mutex_; // guards fd_ against interrupt() while the link closes
    int fd_ = -1;
};

/* The log line of a message the broker did not take. */
void log_publish_refused(const Settings &settings, const char *what);

} // namespace dirmirror
