#pragma once
// Delivery to the broker: one thread owns one long-lived broker link and
// publishes what CommitOrder hands it, in order, with publisher confirms.
//
// Nothing the plug-in holds is given up for a broken connection: a message
// stays with the publisher until the broker confirms it, and what was not
// confirmed when a connection broke is published again on the next one,
// first, in its order, with the same message_id, seq and headers (delivery
// is at least once). A message the broker refuses (nack) goes out again on a
// fresh channel, and only one it keeps refusing for timings::kRefusalLimit
// is a loss. A loss (that, an event that did not fit the buffer, a passed
// over ticket, a start, an import) becomes a FULLSYNC in the stream at the
// loss's place, so that it comes before any later event. A broker that
// blocks publishers is a pause; a write that makes no progress for
// timings::kStuckWrite has its socket shut down, a lost connection.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "broker_link.h"
#include "buffer.h"
#include "commit_order.h"
#include "fullsync_debt.h"
#include "message.h"
#include "settings.h"
#include "timings.h"

namespace dirmirror {

struct PublisherTimes {
    std::chrono::milliseconds reply_wait = timings::kReplyWait;
    std::chrono::milliseconds alive_every = timings::kAliveEvery;
    std::chrono::milliseconds flush_time = timings::kFlushTime;
    std::size_t max_in_flight = timings::kMaxInFlight;
    std::chrono::milliseconds gather = timings::kGather;
    std::chrono::milliseconds first_pause = timings::kReconnectFirstPause;
    std::chrono::milliseconds max_pause = timings::kReconnectMaxPause;
    std::chrono::milliseconds refusal_limit = timings::kRefusalLimit;
    std::chrono::milliseconds stuck_write = timings::kStuckWrite;
};

class Publisher {
  public:
    using Clock = std::chrono::steady_clock;

    // Where the publisher stands; derived from the link, so it can never
    // disagree with it.
    enum class Phase {
        connecting, // no link: connect when the pause since the last attempt is over
        streaming,  // publishing: what a lost connection left first, then in commit order
        blocked,    // the broker takes no publishes for now: nothing is written
    };

    // `identity` names this server and this start of the plug-in in every
    // message's headers.
    Publisher(CommitOrder &order, Buffer &buffer, const Settings &settings, FullsyncDebt &debt,
              Monitor &monitor, PublisherTimes times = {}, Identity identity = {});
    ~Publisher();

    // The thread body; returns once stop() was called and the queue is
    // flushed, or the flush time is up.
    void run();
    // Asks run() to finish and waits for it at most `wait`, then shuts the
    // socket down and waits `after_interrupt` more; false when it still did
    // not finish (it is then left to the process's exit).
    bool stop(std::chrono::milliseconds wait,
              std::chrono::milliseconds after_interrupt = timings::kStopAfterInterrupt);

  private:
    Phase phase() const;
    bool begin_running();
    void end_running();
    void read_frames();
    void on_frame(const BrokerLink::Frame &frame);
    void on_refused(bool too_large);
    void on_link_lost();
    void connect();
    void publish_due();
    bool next_message(Message &message);
    Message prepared(Outgoing &&item);
    bool send(Message message);
    void drop_refused();
    void lose(const std::vector<Message> &messages, const char *why);
    bool fullsync_pending() const;
    bool finished();
    void wait_for_work();
    void report_state();
    void watch_writes();
    template <typename Call> auto writing(Call &&call);

    CommitOrder &order_;
    Buffer &buffer_;
    const Settings &settings_;
    FullsyncDebt &debt_;
    Monitor &monitor_;
    const PublisherTimes times_;
    const Identity identity_;
    BrokerLink link_;
    std::deque<Message> outbox_; // made, not sent on the current link: replays first
    InFlight in_flight_;
    bool blocked_ = false;
    Clock::time_point next_attempt_{}, next_alive_{}, flush_until_{};
    Clock::duration pause_{}; // before the next connection attempt
    std::uint64_t seq_ = 0;
    std::string reported_node_;

    // The watchdog: when a write began (0: none), in steady nanoseconds.
    std::atomic<std::int64_t> writing_since_{0};
    std::thread watchdog_;
    std::mutex watchdog_mutex_;
    std::condition_variable watchdog_wake_;
    bool watchdog_done_ = false;

    std::atomic<bool> stop_requested_{false};
    std::mutex done_mutex_;
    std::condition_variable done_;
    bool running_ = false, finished_ = false;
};

} // namespace dirmirror
