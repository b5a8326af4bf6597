#include "commit_order.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cinttypes>
#include <ctime>

#include "log.h"

namespace dirmirror {

namespace {

constexpr char kOrderSubsystem[] = "commit_order";

std::int64_t now_seconds()
{
    return static_cast<std::int64_t>(std::time(nullptr));
}

} // namespace

CommitOrder::CommitOrder(Buffer &buffer, OrderLimits limits)
    : buffer_(buffer), limits_(limits), wakeup_fd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC))
{
}

CommitOrder::~CommitOrder()
{
    if (wakeup_fd_ >= 0)
        close(wakeup_fd_);
}

std::uint64_t CommitOrder::take()
{
    return next_ticket_.fetch_add(1);
}

void CommitOrder::resolve(std::uint64_t ticket, std::vector<Change> changes, bool lost)
{
    place(ticket, {std::move(changes), lost, false, now_seconds()});
}

void CommitOrder::append_control(std::string body)
{
    // It takes a place of its own, so it comes after every event committed
    // before it, on any backend, however long that one's hand-over takes.
    std::vector<Change> text;
    text.emplace_back(std::move(body));
    place(take(), {std::move(text), false, true, now_seconds()});
}

void CommitOrder::append_loss()
{
    place(take(), {{}, true, false, now_seconds()});
}

void CommitOrder::place(std::uint64_t ticket, Waiting waiting)
{
    bool first_ready;
    {
        std::lock_guard lock(mutex_);
        first_ready = ready_.empty();
        if (ticket < next_in_order_) {
            // Passed over: the FULLSYNC owed for it may have gone out before
            // this operation committed, so its events need another one.
            if (!waiting.lost && waiting.changes.empty())
                return;
            push_loss(waiting.control ? 0 : waiting.changes.size(), waiting.timestamp);
        } else if (waiting_.count(ticket) != 0) {
            return;
        } else {
            admit(waiting);
            if (ticket != next_in_order_) {
                if (waiting_.empty())
                    blocked_since_ = Clock::now();
                try {
                    waiting_.emplace(ticket, std::move(waiting));
                } catch (...) {
                    forget(waiting, 0);
                    throw;
                }
                return;
            }
            push_ready(std::move(waiting));
            ++next_in_order_;
            release_in_order();
        }
    }
    // The publisher takes everything ready whenever it wakes: only the first
    // item needs to wake it.
    if (first_ready)
        nudge();
}

bool CommitOrder::pop(Outgoing &out)
{
    std::lock_guard lock(mutex_);
    if (ready_.empty() && !waiting_.empty() &&
        Clock::now() - blocked_since_ >= limits_.pass_over_after) {
        log_failure(kOrderSubsystem,
               "Операция №%" PRIu64 " не завершилась за %lld мс: её события пропущены, "
               "потребителям будет отправлен FULLSYNC\n",
               next_in_order_, static_cast<long long>(limits_.pass_over_after.count()));
        push_loss(0, now_seconds());
        ++next_in_order_;
        release_in_order();
    }
    if (ready_.empty())
        return false;
    out = std::move(ready_.front());
    ready_.pop_front();
    if (out.kind != Outgoing::Kind::lost) {
        --held_messages_;
        held_changed();
    }
    return true;
}

std::int64_t CommitOrder::oldest_timestamp() const
{
    std::lock_guard lock(mutex_);
    std::int64_t oldest = 0;
    if (!ready_.empty())
        oldest = ready_.front().timestamp;
    for (const auto &[ticket, waiting] : waiting_)
        if (oldest == 0 || waiting.timestamp < oldest)
            oldest = waiting.timestamp;
    return oldest;
}

bool CommitOrder::has_ready() const
{
    std::lock_guard lock(mutex_);
    return !ready_.empty();
}

void CommitOrder::drain_wakeups()
{
    eventfd_t count;
    eventfd_read(wakeup_fd_, &count);
}

CommitOrder::Clock::duration CommitOrder::until_pass_over() const
{
    std::lock_guard lock(mutex_);
    if (waiting_.empty())
        return Clock::duration::max();
    const auto left = blocked_since_ + limits_.pass_over_after - Clock::now();
    return left > Clock::duration::zero() ? left : Clock::duration::zero();
}

/* Takes room in the buffer for `waiting`, or turns it into a loss when there
 * is none. Called with the lock held. */
void CommitOrder::admit(Waiting &waiting)
{
    std::size_t bytes = 0;
    for (const auto &change : waiting.changes)
        bytes += buffer_bytes(change);
    if (buffer_.take(bytes)) {
        waiting.bytes = bytes;
        held_messages_ += waiting.changes.size();
        full_reported_ = false;
        held_changed();
        return;
    }
    if (!full_reported_) {
        // Once per spell of fullness: during a long outage this would
        // otherwise be one line per change.
        full_reported_ = true;
        log_failure(kOrderSubsystem,
                    "Буфер публикации заполнен (%zu байт из %zu): события отброшены, "
                    "потребителям будет отправлен FULLSYNC\n",
                    buffer_.used(), buffer_.limit());
    }
    waiting.events_lost = waiting.control ? 0 : waiting.changes.size();
    waiting.changes.clear();
    waiting.lost = true;
}

/* Called with the lock held, after held_messages_ changed. */
void CommitOrder::held_changed()
{
    depth_.store(held_messages_, std::memory_order_relaxed);
    if (held_messages_ > high_water_.load(std::memory_order_relaxed))
        high_water_.store(held_messages_, std::memory_order_relaxed);
}

/* Moves every ticket that is now next in order from waiting to ready. */
void CommitOrder::release_in_order()
{
    for (auto next = waiting_.begin(); next != waiting_.end() && next->first == next_in_order_;
         next = waiting_.begin()) {
        push_ready(std::move(next->second));
        waiting_.erase(next);
        ++next_in_order_;
        blocked_since_ = Clock::now();
    }
}

void CommitOrder::push_ready(Waiting &&waiting)
{
    if (waiting.lost) {
        // What was built of it is of no use any more: the FULLSYNC covers it.
        const auto events = waiting.events_lost + (waiting.control ? 0 : waiting.changes.size());
        forget(waiting, 0);
        push_loss(events, waiting.timestamp);
        return;
    }
    const auto kind = waiting.control ? Outgoing::Kind::control : Outgoing::Kind::change;
    for (std::size_t i = 0; i < waiting.changes.size(); ++i) {
        Change &change = waiting.changes[i];
        const std::size_t bytes = buffer_bytes(change);
        try {
            ready_.push_back({kind, std::move(change.body), 0, waiting.timestamp,
                              std::move(change.facts), bytes});
        } catch (...) {
            forget(waiting, i); // what is ready keeps its room until confirmed
            throw;
        }
    }
}

/* Gives back the room of `waiting`'s changes from `from` on, which will not
 * reach the publisher. Called with the lock held. */
void CommitOrder::forget(const Waiting &waiting, std::size_t from)
{
    std::size_t bytes = waiting.bytes;
    for (std::size_t i = 0; i < from; ++i)
        bytes -= buffer_bytes(waiting.changes[i]);
    buffer_.give_back(bytes);
    held_messages_ -= waiting.changes.size() - from;
    held_changed();
}

/* One marker stands for a run of losses: one FULLSYNC covers them all, and
 * a long outage adds no marker per event. Called with the lock held. */
void CommitOrder::push_loss(std::uint64_t events, std::int64_t timestamp)
{
    if (!ready_.empty() && ready_.back().kind == Outgoing::Kind::lost) {
        ready_.back().events_lost += events;
        return;
    }
    ready_.push_back({Outgoing::Kind::lost, {}, events, timestamp, {}});
}

void CommitOrder::nudge()
{
    eventfd_write(wakeup_fd_, 1);
}

} // namespace dirmirror
