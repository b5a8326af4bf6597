#pragma once
// Delivery to the broker: one thread owns one long-lived broker link,
// publishes what CommitOrder hands it in order with publisher confirms, sends
// ALIVE every 30 s, and keeps the FULLSYNC promise: when a message cannot be
// confirmed it is dropped, everything queued behind it until a FULLSYNC is out
// is dropped too, and the next message published is a FULLSYNC, retried
// until the broker confirms one.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "broker_link.h"
#include "commit_order.h"
#include "fullsync_debt.h"
#include "settings.h"
#include "timings.h"

namespace dirmirror {

extern const char kFullsyncBody[];
extern const char kAliveBody[];

struct PublisherTimes {
    std::chrono::milliseconds reply_wait = timings::kReplyWait;
    std::chrono::milliseconds retry_interval = timings::kRetryInterval;
    std::chrono::milliseconds alive_every = timings::kAliveEvery;
    std::chrono::milliseconds flush_time = timings::kFlushTime;
    std::size_t max_in_flight = timings::kMaxInFlight;
    std::chrono::milliseconds gather = timings::kGather;
};

/* Messages published and not yet confirmed, oldest first, and what a
 * confirm settles of them. */
class InFlight {
  public:
    using Clock = std::chrono::steady_clock;
    enum class Kind { change, fullsync, other };
    struct Sent {
        std::uint64_t tag;
        Kind kind;
        Clock::time_point sent_at;
    };

    void add(std::uint64_t tag, Kind kind) { sent_.push_back({tag, kind, Clock::now()}); }
    // The messages an ack or nack confirms, removed from the list.
    std::vector<Sent> settle(const BrokerLink::Frame &frame);
    // Everything still unconfirmed, removed from the list.
    std::vector<Sent> take_all();
    bool empty() const { return sent_.empty(); }
    std::size_t size() const { return sent_.size(); }
    const Sent &oldest() const { return sent_.front(); }
    bool holds_fullsync() const;
    // Whether a FULLSYNC published after `tag` is still unconfirmed.
    bool fullsync_after(std::uint64_t tag) const;

  private:
    std::deque<Sent> sent_;
};

/* One message on a connection of its own, waiting for the broker's confirm:
 * true when confirmed. A failure owes `debt` a FULLSYNC; a confirmed
 * FULLSYNC settles it. */
bool deliver_once(const Settings &settings, std::string_view body, FullsyncDebt &debt,
                  const Identity *identity = nullptr,
                  std::chrono::milliseconds reply_wait = timings::kReplyWait);

class Publisher {
  public:
    using Clock = std::chrono::steady_clock;

    // Where the publisher stands; derived from the link, the debt and what
    // is in flight, so it can never disagree with them.
    enum class Phase {
        connecting,        // no link: connect at the next attempt
        streaming,         // publishing in commit order
        owing_fullsync,    // dropping what is ready; FULLSYNC at the next attempt
        awaiting_fullsync, // FULLSYNC published; later events wait for its confirm
    };

    // `identity` names this server and this start of the plug-in in every
    // message's headers.
    Publisher(CommitOrder &order, const Settings &settings, FullsyncDebt &debt, Monitor &monitor,
              PublisherTimes times = {}, Identity identity = {});

    // The thread body; returns once stop() was called and the queue is
    // flushed, or the flush time is up.
    void run();
    // Asks run() to finish and waits for it at most `wait`, then shuts the
    // socket down and waits `after_interrupt` more; false when it still did
    // not finish (it is then left to the process's exit).
    bool stop(std::chrono::milliseconds wait,
              std::chrono::milliseconds after_interrupt = timings::kStopAfterInterrupt);
    Phase phase() const;

  private:
    bool begin_running();
    void end_running();
    void read_confirms();
    void on_confirm(const BrokerLink::Frame &frame);
    void on_link_lost();
    void publish_in_order();
    void publish_fullsync_when_due();
    bool connect();
    bool publish(const Outgoing &item, InFlight::Kind kind);
    void discard_ready();
    bool finished();
    void wait_for_work();
    void report_link();

    CommitOrder &order_;
    const Settings &settings_;
    FullsyncDebt &debt_;
    Monitor &monitor_;
    const PublisherTimes times_;
    const Identity identity_;
    BrokerLink link_;
    InFlight in_flight_;
    Clock::time_point next_attempt_{}, next_alive_{}, flush_until_{};
    std::uint64_t seq_ = 0;
    std::string reported_node_;

    std::atomic<bool> stop_requested_{false};
    std::mutex done_mutex_;
    std::condition_variable done_;
    bool running_ = false, finished_ = false;
};

} // namespace dirmirror
