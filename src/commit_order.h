#pragma once
// Puts change events into the order the directory committed their operations.
//
// An operation takes a ticket while the backend still holds its serial lock
// (so tickets follow commit order), and hands over its events later, from the
// post-operation call, on whichever thread and at whatever moment that runs.
// Events come out strictly by ticket. A ticket that is never handed over
// holds the stream back only for a bounded time; it is then passed over and
// counts as lost, which owes consumers a FULLSYNC. Losses travel in the
// stream as markers, so the FULLSYNC they owe comes after every event
// committed before them. Every event takes its room in the buffer when it is
// handed over; the publisher gives it back once the broker confirmed it.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "buffer.h"
#include "change.h"
#include "timings.h"

namespace dirmirror {

struct OrderLimits {
    std::chrono::milliseconds pass_over_after = timings::kPassOverAfter;
};

class CommitOrder {
  public:
    using Clock = std::chrono::steady_clock;

    explicit CommitOrder(Buffer &buffer, OrderLimits limits = {});
    ~CommitOrder();
    CommitOrder(const CommitOrder &) = delete;
    CommitOrder &operator=(const CommitOrder &) = delete;

    // Lock-free: called inside the backend transaction.
    std::uint64_t take();

    // The events of `ticket`, in their order (none for an operation that
    // published nothing or failed). `lost` marks events that could not be
    // built. A ticket already passed over is ignored.
    void resolve(std::uint64_t ticket, std::vector<Change> changes, bool lost = false);
    // Changes no event tells of (a backend imported or restored): consumers
    // need a FULLSYNC, after everything already in order.
    void append_loss();

    // A control message, queued behind everything already in order.
    void append_control(std::string body);

    // Publisher side. Moves the next item in order into `out`; false when
    // none is ready. Passes over a ticket that has held the stream back for
    // too long (logged).
    bool pop(Outgoing &out);
    // Whether pop() has something now (a held-back ticket aside).
    bool has_ready() const;
    // Becomes readable when something was handed over (see drain_wakeups()).
    int wakeup_fd() const { return wakeup_fd_; }
    void drain_wakeups();
    // Wakes the publisher without handing anything over.
    void nudge();
    // How long until pop() might pass over a ticket; max() when nothing waits.
    Clock::duration until_pass_over() const;
    // When the oldest event held here was made (seconds since the epoch); 0: none.
    std::int64_t oldest_timestamp() const;
    // Messages handed over and not yet taken by the publisher, and the most
    // there have been at once; read without the lock.
    std::uint64_t depth() const { return depth_.load(std::memory_order_relaxed); }
    std::uint64_t high_water() const { return high_water_.load(std::memory_order_relaxed); }

  private:
    struct Waiting {
        std::vector<Change> changes;
        bool lost = false;
        bool control = false; // `changes` holds a control message's text
        std::int64_t timestamp = 0;
        std::uint64_t events_lost = 0; // did not fit the buffer
        std::size_t bytes = 0;         // taken in the buffer
    };
    void place(std::uint64_t ticket, Waiting waiting);
    void admit(Waiting &waiting);
    void forget(const Waiting &waiting, std::size_t from);
    void held_changed();
    void release_in_order();
    void push_ready(Waiting &&waiting);
    void push_loss(std::uint64_t events, std::int64_t timestamp);

    Buffer &buffer_;
    const OrderLimits limits_;
    std::atomic<std::uint64_t> next_ticket_{1};
    mutable std::mutex mutex_;
    std::uint64_t next_in_order_ = 1;
    std::map<std::uint64_t, Waiting> waiting_; // handed over ahead of a missing ticket
    Clock::time_point blocked_since_{};        // when the missing head began to hold others back
    std::deque<Outgoing> ready_;
    std::size_t held_messages_ = 0;
    bool full_reported_ = false;
    std::atomic<std::uint64_t> depth_{0}, high_water_{0};
    int wakeup_fd_ = -1;
};

} // namespace dirmirror
