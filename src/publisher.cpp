#include "publisher.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <optional>
#include <thread>

#include "log.h"

namespace dirmirror {

const char kFullsyncBody[] = "{\"op_type\": \"FULLSYNC\"}";
const char kAliveBody[] = "{\"op_type\": \"ALIVE\"}";

namespace {

// The directory's own threads come first when the cores are busy; the
// publisher catches up when they are not.
constexpr int kPublisherNice = 10;

using Clock = std::chrono::steady_clock;

std::int64_t now_seconds()
{
    return static_cast<std::int64_t>(std::time(nullptr));
}

/* "<start time in µs>.<pid>.<n>": unique across restarts of this server, and
 * between servers started in the same microsecond by their process ids. */
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

void log_confirm_timeout()
{
    log_failure(kSendSubsystem, "%s :: %s\n", kWaitContext, amqp_error_string2(AMQP_STATUS_TIMEOUT));
}

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
        if (in_flight.settle(frame).empty())
            continue;
        if (frame.event == BrokerLink::Event::nack) {
            log_publish_refused(settings, "Брокер отклонил сообщение (basic.nack)\n");
            return false;
        }
        link.close_politely();
        return true;
    }
}

/* Corks the socket while a batch goes out, so that the broker reads it in as
 * few segments as it fills and wakes once per batch. */
class Cork {
  public:
    explicit Cork(const BrokerLink &link) : link_(link), fd_(link.fd()) { set(1); }
    ~Cork()
    {
        if (link_.is_open() && link_.fd() == fd_) // not a socket that replaced it
            set(0);
    }
    Cork(const Cork &) = delete;
    Cork &operator=(const Cork &) = delete;

  private:
    void set(int on) const { setsockopt(fd_, IPPROTO_TCP, TCP_CORK, &on, sizeof on); }
    const BrokerLink &link_;
    const int fd_;
};

} // namespace

std::vector<InFlight::Sent> InFlight::settle(const BrokerLink::Frame &frame)
{
    std::vector<Sent> settled;
    if (frame.event != BrokerLink::Event::ack && frame.event != BrokerLink::Event::nack)
        return settled;
    std::erase_if(sent_, [&](const Sent &sent) {
        const bool confirmed = frame.multiple ? sent.tag <= frame.delivery_tag
                                              : sent.tag == frame.delivery_tag;
        if (confirmed)
            settled.push_back(sent);
        return confirmed;
    });
    return settled;
}

std::vector<InFlight::Sent> InFlight::take_all()
{
    std::vector<Sent> all(sent_.begin(), sent_.end());
    sent_.clear();
    return all;
}

bool InFlight::holds_fullsync() const
{
    return std::any_of(sent_.begin(), sent_.end(),
                       [](const Sent &sent) { return sent.kind == Kind::fullsync; });
}

bool deliver_once(const Settings &settings, std::string_view body, FullsyncDebt &debt,
                  const Identity *identity, std::chrono::milliseconds reply_wait)
{
    const bool fullsync = body == kFullsyncBody;
    BrokerLink link(reply_wait);
    InFlight in_flight;
    bool confirmed = false;
    if (link.open(settings)) {
        const std::string message_id = next_message_id();
        const MessageProperties properties{
            .message_id = message_id, .timestamp = now_seconds(), .identity = identity};
        if (const auto tag = link.publish(settings, body, properties)) {
            in_flight.add(*tag, fullsync ? InFlight::Kind::fullsync : InFlight::Kind::other);
            confirmed = await_confirm(link, in_flight, settings, reply_wait);
        }
    }
    // Only a confirmed FULLSYNC tells consumers to catch up on what was lost.
    if (!confirmed)
        debt.lost();
    else if (fullsync)
        debt.fullsync_confirmed();
    return confirmed;
}

Publisher::Publisher(CommitOrder &order, const Settings &settings, FullsyncDebt &debt,
                     Monitor &monitor, PublisherTimes times, Identity identity)
    : order_(order), settings_(settings), debt_(debt), monitor_(monitor), times_(times),
      identity_(std::move(identity)), link_(times.reply_wait)
{
}

Publisher::Phase Publisher::phase() const
{
    if (debt_.owed())
        return in_flight_.holds_fullsync() ? Phase::awaiting_fullsync : Phase::owing_fullsync;
    return link_.is_open() ? Phase::streaming : Phase::connecting;
}

void Publisher::run()
{
    if (!begin_running())
        return;
    setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), kPublisherNice);
    next_attempt_ = next_alive_ = Clock::now();
    while (!finished()) {
        read_confirms();
        switch (phase()) {
        case Phase::connecting:
            if (stop_requested_ || Clock::now() < next_attempt_ || !connect())
                break;
            [[fallthrough]];
        case Phase::streaming:
            publish_in_order();
            break;
        case Phase::owing_fullsync:
            publish_fullsync_when_due();
            break;
        case Phase::awaiting_fullsync:
            break; // what is queued now comes after the FULLSYNC on its way
        }
        report_link();
        wait_for_work();
    }
    end_running();
}

bool Publisher::begin_running()
{
    std::lock_guard lock(done_mutex_);
    if (running_ || finished_)
        return false; // one publisher thread at a time, and only once
    running_ = true;
    return true;
}

void Publisher::end_running()
{
    const size_t unconfirmed = in_flight_.size();
    link_.close_politely();
    report_link();
    // Either way the FULLSYNC of the next start covers what is missing.
    if (debt_.owed())
        log_failure(kSendSubsystem,
                    "Остановка: FULLSYNC не подтверждён брокером, изменения с тех пор "
                    "не опубликованы; их покроет FULLSYNC при следующем запуске\n");
    else if (unconfirmed > 0)
        log_failure(kSendSubsystem,
                    "Остановка: %zu сообщений без подтверждения брокера; их покроет FULLSYNC при "
                    "следующем запуске\n",
                    unconfirmed);
    std::lock_guard lock(done_mutex_);
    finished_ = true;
    done_.notify_all();
}

bool Publisher::stop(std::chrono::milliseconds wait, std::chrono::milliseconds after_interrupt)
{
    stop_requested_ = true;
    order_.nudge();
    std::unique_lock lock(done_mutex_);
    if (!running_)
        return true;
    if (done_.wait_for(lock, wait, [this] { return finished_; }))
        return true;
    // Stuck in a write to a broker that stopped reading: make the socket fail.
    link_.interrupt();
    return done_.wait_for(lock, after_interrupt, [this] { return finished_; });
}

void Publisher::read_confirms()
{
    while (link_.is_open()) {
        const auto frame = link_.read(std::chrono::microseconds(0));
        if (frame.event == BrokerLink::Event::nothing)
            break;
        if (frame.event == BrokerLink::Event::lost)
            on_link_lost();
        else
            on_confirm(frame);
    }
    if (link_.is_open() && !in_flight_.empty() &&
        Clock::now() - in_flight_.oldest().sent_at >= times_.reply_wait) {
        log_confirm_timeout();
        link_.drop();
        on_link_lost();
    }
}

void Publisher::on_confirm(const BrokerLink::Frame &frame)
{
    const bool acked = frame.event == BrokerLink::Event::ack;
    bool nack_logged = false;
    for (const auto &sent : in_flight_.settle(frame)) {
        if (acked) {
            if (sent.kind == InFlight::Kind::change)
                ++monitor_.events_published;
            else if (sent.kind == InFlight::Kind::fullsync)
                debt_.fullsync_confirmed();
            continue;
        }
        if (!nack_logged) {
            nack_logged = true;
            log_publish_refused(settings_, "Брокер отклонил сообщение (basic.nack)\n");
        }
        // A refused FULLSYNC is tried again when the retry pause is over.
        if (sent.kind != InFlight::Kind::fullsync)
            debt_.lost(sent.kind == InFlight::Kind::change ? 1 : 0);
    }
    // A channel that was refused once may go on refusing (a quorum queue
    // whose leader was lost nacks everything later on that channel): the
    // next attempt goes out on a fresh connection.
    if (!acked && link_.is_open()) {
        link_.drop();
        on_link_lost();
    }
}

void Publisher::on_link_lost()
{
    // Messages without a confirm are in doubt; a FULLSYNC in flight is tried
    // again after its pause. With nothing in flight nothing was lost, and the
    // link is opened again at once.
    const auto unconfirmed = in_flight_.take_all();
    if (!unconfirmed.empty())
        debt_.lost(static_cast<std::uint64_t>(
            std::count_if(unconfirmed.begin(), unconfirmed.end(),
                          [](const auto &sent) { return sent.kind == InFlight::Kind::change; })));
    if (!debt_.owed())
        next_attempt_ = Clock::now();
}

void Publisher::publish_in_order()
{
    const auto now = Clock::now();
    if (now >= next_alive_ && !stop_requested_) {
        next_alive_ = now + times_.alive_every;
        if (!publish({Outgoing::Kind::control, kAliveBody, 0, now_seconds(), {}},
                     InFlight::Kind::other))
            return;
    }
    std::optional<Cork> cork; // only once there is something to send
    while (link_.is_open() && in_flight_.size() < times_.max_in_flight) {
        Outgoing item;
        if (!order_.pop(item))
            return;
        if (!cork)
            cork.emplace(link_);
        if (item.kind == Outgoing::Kind::lost) {
            debt_.lost(item.events_lost);
            return;
        }
        const bool change = item.kind == Outgoing::Kind::change;
        if (!publish(item, change ? InFlight::Kind::change : InFlight::Kind::other))
            return;
    }
}

void Publisher::publish_fullsync_when_due()
{
    // Everything queued was committed before the FULLSYNC that will cover it.
    discard_ready();
    const auto now = Clock::now();
    if (stop_requested_ || now < next_attempt_)
        return;
    next_attempt_ = now + times_.retry_interval;
    if (!link_.is_open() && !connect())
        return;
    publish({Outgoing::Kind::control, kFullsyncBody, 0, now_seconds(), {}},
            InFlight::Kind::fullsync);
}

bool Publisher::connect()
{
    if (link_.open(settings_))
        return true;
    debt_.lost();
    next_attempt_ = Clock::now() + times_.retry_interval;
    return false;
}

bool Publisher::publish(const Outgoing &item, InFlight::Kind kind)
{
    const std::string message_id = next_message_id();
    MessageProperties properties{
        .message_id = message_id, .timestamp = item.timestamp, .identity = &identity_};
    if (kind == InFlight::Kind::change) {
        properties.seq = ++seq_;
        properties.replicated = item.facts.replicated;
        properties.entry_uuid = item.facts.entry_uuid;
        properties.csn = item.facts.csn;
    }
    const auto tag = link_.publish(settings_, item.body, properties);
    if (!tag) {
        debt_.lost(kind == InFlight::Kind::change ? 1 : 0);
        on_link_lost();
        return false;
    }
    in_flight_.add(*tag, kind);
    return true;
}

void Publisher::discard_ready()
{
    Outgoing item;
    while (order_.pop(item))
        if (item.kind != Outgoing::Kind::control)
            debt_.lost(item.kind == Outgoing::Kind::change ? 1 : item.events_lost);
}

bool Publisher::finished()
{
    if (!stop_requested_)
        return false;
    const auto now = Clock::now();
    if (flush_until_ == Clock::time_point{})
        flush_until_ = now + times_.flush_time;
    // What cannot be kept is left to the FULLSYNC of the next start.
    if (debt_.owed() || !link_.is_open() || now >= flush_until_)
        return true;
    return !order_.has_ready() && in_flight_.empty();
}

void Publisher::report_link()
{
    if (link_.node() == reported_node_)
        return;
    reported_node_ = link_.node();
    monitor_.broker_node(reported_node_);
}

void Publisher::wait_for_work()
{
    const auto now = Clock::now();
    auto until = now + std::chrono::seconds(1);
    auto sooner = [&until](Clock::time_point t) { until = std::min(until, t); };
    const Phase current = phase();
    if (current == Phase::streaming)
        sooner(next_alive_);
    else
        sooner(next_attempt_);
    if (!in_flight_.empty())
        sooner(in_flight_.oldest().sent_at + times_.reply_wait);
    const auto pass_over = order_.until_pass_over();
    if (pass_over != CommitOrder::Clock::duration::max())
        sooner(now + pass_over);
    if (stop_requested_)
        sooner(now + std::chrono::milliseconds(20));

    // Handed-over work wakes the thread only when it can take it.
    const bool can_take = current == Phase::owing_fullsync ||
                          (current != Phase::awaiting_fullsync &&
                           in_flight_.size() < times_.max_in_flight);
    pollfd fds[2];
    nfds_t count = 0;
    if (can_take)
        fds[count++] = {order_.wakeup_fd(), POLLIN, 0};
    if (link_.is_open())
        fds[count++] = {link_.fd(), POLLIN, 0};
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(until - now);
    if (count == 0 || wait.count() <= 0) {
        if (wait.count() > 0)
            std::this_thread::sleep_for(wait);
    } else if (poll(fds, count, static_cast<int>(wait.count()) + 1) > 0 &&
               times_.gather.count() > 0 && !stop_requested_) {
        // Events and confirms are taken in batches, at most one per gather.
        std::this_thread::sleep_for(times_.gather);
    }
    if (can_take)
        order_.drain_wakeups();
}

} // namespace dirmirror
