#pragma once
// Delivery to the broker: one thread owns one long-lived AMQP connection and
// channel, publishes what CommitOrder hands it in order with publisher
// confirms, sends ALIVE every 30 s, and keeps the FULLSYNC promise: when a
// message cannot be confirmed, it is dropped, everything queued behind it
// until a FULLSYNC is out is dropped too, and the next message published is a
// FULLSYNC, retried every 5 s until the broker confirms one.

#include <amqp.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "commit_order.h"
#include "utils.h"

namespace dirmirror {

struct PublisherTimes {
    std::chrono::milliseconds reply_wait{10000}; // connecting, each reply and each confirm
    std::chrono::milliseconds fullsync_retry{5000};
    std::chrono::milliseconds alive_every{30000};
    std::chrono::milliseconds stop_flush{3000}; // for queued events once asked to stop
    std::size_t max_in_flight = 256;
    // Events handed over and confirms are left to gather this long before
    // they are taken together: fewer wake-ups here and at the broker.
    std::chrono::milliseconds gather{0};
};

extern const char kFullsyncBody[];
extern const char kAliveBody[];

/* An AMQP connection with channel 1 in confirm mode, owned by one thread.
 * Every failure is logged once and leaves the link closed. */
class BrokerLink {
  public:
    enum class Event { nothing, ack, nack, lost };
    struct Frame {
        Event event = Event::nothing;
        std::uint64_t delivery_tag = 0;
        bool multiple = false;
    };

    explicit BrokerLink(std::chrono::milliseconds reply_wait);
    ~BrokerLink() { drop(); }
    BrokerLink(const BrokerLink &) = delete;
    BrokerLink &operator=(const BrokerLink &) = delete;

    // Connects to the first node of RABBIT_HOST that answers, beginning after
    // the node whose connection failed last; with RABBIT_TLS over TLS.
    bool open(const ConnectionConfig *config);
    bool is_open() const { return conn_ != nullptr; }
    // "host:port" of the node connected to; empty when closed.
    const std::string &node() const { return node_; }
    int fd() const { return fd_; }
    // The headers of a change event; control messages have none.
    struct Headers {
        std::uint64_t seq = 0; // 0: no headers
        std::string_view origin;
        const ChangeFacts *facts = nullptr;
    };
    // The delivery tag of the published message, or nullopt (the link is closed).
    std::optional<std::uint64_t> publish(const ConnectionConfig &config, const std::string &body,
                                         std::int64_t timestamp, const Headers &headers);
    // One frame if one arrives within `wait`; acks and nacks are reported,
    // other frames are consumed, a closed or broken connection gives `lost`.
    Frame read(std::chrono::microseconds wait);
    void close_politely();
    void drop();
    // From another thread: makes a call blocked on the socket return.
    void interrupt();

  private:
    bool open_node(const ConnectionConfig &config, const BrokerNode &node);

    const std::chrono::milliseconds reply_wait_;
    size_t first_node_ = 0;   // of RABBIT_HOST's list, modulo its length
    bool established_ = false;
    std::string node_;
    amqp_connection_state_t conn_ = nullptr;
    std::uint64_t next_tag_ = 1;
    std::mutex fd_mutex_; // guards fd_ against interrupt() while the link closes
    int fd_ = -1;
};

/* One message on a connection of its own: true when the broker confirmed it. */
bool publish_confirmed_once(const ConnectionConfig *config, const std::string &body,
                            std::chrono::milliseconds reply_wait);

class Publisher {
  public:
    using Clock = std::chrono::steady_clock;

    // `config` is read at each connection; `owed_flag` is 1 while a FULLSYNC
    // is owed (its value at run() says whether one is owed at the start).
    // `origin` names this server in the headers of change events.
    Publisher(CommitOrder &order, ConnectionConfig *const &config, std::atomic<int> &owed_flag,
              PublisherTimes times = {}, std::string origin = {});

    // The thread body; returns once stop() was called and the queue is
    // flushed, or the flush time is up.
    void run();
    // Asks run() to finish and waits for it at most `wait`; false when it
    // did not finish in time (it is then left to the process's exit).
    bool stop(std::chrono::milliseconds wait);

  private:
    struct InFlight {
        std::uint64_t tag;
        bool fullsync;
        bool change;
        Clock::time_point sent_at;
    };

    void read_confirms();
    void on_confirm(const BrokerLink::Frame &frame);
    void on_link_lost();
    void publish_in_order();
    void work_towards_fullsync();
    bool connect();
    bool publish(const std::string &body, std::int64_t timestamp, const ChangeFacts *change,
                 bool fullsync);
    void owe_fullsync();
    void discard_ready();
    bool finished();
    void wait_for_work();
    void report_link();

    CommitOrder &order_;
    ConnectionConfig *const &config_;
    std::atomic<int> &owed_flag_;
    const PublisherTimes times_;
    const std::string origin_;
    BrokerLink link_;
    std::deque<InFlight> in_flight_;
    bool owed_ = false;
    std::optional<std::uint64_t> fullsync_tag_; // a FULLSYNC awaiting its confirm
    Clock::time_point next_attempt_{}, next_alive_{}, flush_until_{};
    std::uint64_t seq_ = 0;
    bool stream_idle_ = false;
    std::string reported_node_;

    std::atomic<bool> stop_requested_{false};
    std::mutex done_mutex_;
    std::condition_variable done_;
    bool running_ = false, finished_ = false;
};

} // namespace dirmirror
