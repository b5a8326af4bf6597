#include "publisher.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include "event_text.h"
#include "log.h"

namespace dirmirror {

namespace {

// The directory's own threads come first when the cores are busy; the
// publisher catches up when they are not.
constexpr int kPublisherNice = 10;

using Clock = std::chrono::steady_clock;

std::int64_t steady_ns()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
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

Publisher::Publisher(CommitOrder &order, Buffer &buffer, const Settings &settings,
                     FullsyncDebt &debt, Monitor &monitor, PublisherTimes times, Identity identity)
    : order_(order), buffer_(buffer), settings_(settings), debt_(debt), monitor_(monitor),
      times_(times), identity_(std::move(identity)), link_(times.reply_wait)
{
}

/* Runs a call that may write to the socket under the watchdog's eye. */
template <typename Call> auto Publisher::writing(Call &&call)
{
    writing_since_ = steady_ns();
    auto result = call();
    writing_since_ = 0;
    return result;
}

Publisher::~Publisher()
{
    // run() joins it; a publisher that never ran has none.
    if (watchdog_.joinable())
        watchdog_.join();
}

Publisher::Phase Publisher::phase() const
{
    if (!link_.is_open())
        return Phase::connecting;
    return blocked_ ? Phase::blocked : Phase::streaming;
}

void Publisher::run()
{
    if (!begin_running())
        return;
    setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), kPublisherNice);
    watchdog_ = std::thread([this] { watch_writes(); });
    next_attempt_ = next_alive_ = Clock::now();
    while (!finished()) {
        read_frames();
        switch (phase()) {
        case Phase::connecting:
            if (stop_requested_ || Clock::now() < next_attempt_)
                break;
            connect();
            if (phase() != Phase::streaming)
                break;
            [[fallthrough]];
        case Phase::streaming:
            publish_due();
            break;
        case Phase::blocked:
            break; // nothing is written until the broker takes publishes again
        }
        report_state();
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
    const size_t unconfirmed = in_flight_.size() + outbox_.size();
    writing([this] {
        link_.close_politely();
        return 0;
    });
    {
        std::lock_guard lock(watchdog_mutex_);
        watchdog_done_ = true;
    }
    watchdog_wake_.notify_all();
    watchdog_.join();
    report_state();
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
    monitor_.oldest_unconfirmed = 0; // what is left is no longer this publisher's
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

void Publisher::watch_writes()
{
    const auto period = std::clamp(times_.stuck_write / 10, std::chrono::milliseconds(10),
                                   std::chrono::milliseconds(1000));
    std::unique_lock lock(watchdog_mutex_);
    while (!watchdog_wake_.wait_for(lock, period, [this] { return watchdog_done_; })) {
        std::int64_t since = writing_since_.load();
        if (since == 0 ||
            steady_ns() - since < std::chrono::nanoseconds(times_.stuck_write).count())
            continue;
        if (writing_since_.compare_exchange_strong(since, 0)) {
            log_failure(kSendSubsystem,
                        "Запись брокеру не продвигается %lld с: соединение разорвано, "
                        "неподтверждённые сообщения будут отправлены снова\n",
                        static_cast<long long>(times_.stuck_write.count() / 1000));
            link_.interrupt();
        }
    }
}

void Publisher::read_frames()
{
    while (link_.is_open()) {
        const auto frame = link_.read(std::chrono::microseconds(0));
        if (frame.event == BrokerLink::Event::nothing)
            break;
        on_frame(frame);
    }
    if (link_.is_open() && !blocked_ && !in_flight_.empty() &&
        Clock::now() - in_flight_.oldest().sent_at >= times_.reply_wait) {
        log_confirm_timeout();
        link_.drop();
        on_link_lost();
    }
}

void Publisher::on_frame(const BrokerLink::Frame &frame)
{
    switch (frame.event) {
    case BrokerLink::Event::ack:
        pause_ = {}; // the broker works: the next lost connection is retried at once
        for (auto &message : in_flight_.acknowledge(frame)) {
            buffer_.give_back(message.buffer_bytes);
            if (message.kind == Message::Kind::change)
                ++monitor_.events_published;
            else if (message.kind == Message::Kind::fullsync)
                debt_.fullsync_confirmed(fullsync_pending());
        }
        break;
    case BrokerLink::Event::nack:
        // Refused (a quorum queue without a leader, say): everything not yet
        // confirmed goes out again, in order, on a fresh connection.
        in_flight_.refuse(frame);
        log_publish_refused(settings_, "Брокер отклонил сообщение (basic.nack)\n");
        link_.drop();
        on_link_lost();
        break;
    case BrokerLink::Event::refused:
        on_refused(frame.too_large);
        break;
    case BrokerLink::Event::lost:
        on_link_lost();
        break;
    case BrokerLink::Event::blocked:
        blocked_ = true;
        log_failure(kSendSubsystem, "Брокер приостановил приём сообщений (connection.blocked): "
                                    "публикация ждёт\n");
        break;
    case BrokerLink::Event::unblocked:
        blocked_ = false;
        in_flight_.restart_clock();
        log_note(kSendSubsystem, "Брокер снова принимает сообщения (connection.unblocked)\n");
        break;
    case BrokerLink::Event::nothing:
        break;
    }
}

/* The broker closed the channel over the oldest message it had not
 * confirmed (it took those before and dropped those after). Too large for
 * it, that message is a loss at once; refused for another reason, it goes
 * out again on a fresh connection, as a refused one does, and is a loss
 * once the broker has refused it for timings::kRefusalLimit. */
void Publisher::on_refused(bool too_large)
{
    if (in_flight_.empty()) {
        on_link_lost();
        return;
    }
    if (!too_large) {
        in_flight_.refuse_oldest();
        on_link_lost();
        return;
    }
    std::vector<Message> refused;
    refused.push_back(in_flight_.take_oldest());
    on_link_lost();
    lose(refused, "Брокер не принял сообщение о %s размером %zu байт (больше max_message_size "
                  "брокера): оно пропущено, потребителям будет отправлен FULLSYNC\n");
}

void Publisher::on_link_lost()
{
    // What was not confirmed goes out again first, in its order; an ALIVE
    // would only be out of date.
    auto unconfirmed = in_flight_.take_all();
    // An ALIVE nobody got is sent afresh once a connection works again.
    if (std::erase_if(unconfirmed, [](const Message &message) {
            return message.kind == Message::Kind::alive;
        }) > 0)
        next_alive_ = Clock::now();
    for (auto it = unconfirmed.rbegin(); it != unconfirmed.rend(); ++it) {
        it->replayed = true;
        outbox_.push_front(std::move(*it));
    }
    blocked_ = false;
    // At once the first time, then ever longer pauses up to the longest.
    next_attempt_ = Clock::now() + pause_;
    pause_ = pause_ == Clock::duration::zero()
                 ? Clock::duration(times_.first_pause)
                 : std::min<Clock::duration>(pause_ * 2, times_.max_pause);
}

void Publisher::connect()
{
    if (!writing([this] { return link_.open(settings_); }))
        on_link_lost();
}

void Publisher::publish_due()
{
    drop_refused();
    {
        std::optional<Cork> cork; // only once there is something to send
        while (link_.is_open() && !blocked_ && in_flight_.size() < times_.max_in_flight) {
            Message message;
            if (!next_message(message))
                break;
            if (!cork)
                cork.emplace(link_);
            if (!send(std::move(message)))
                return;
        }
    }
    // After what was ready, so that a start's FULLSYNC comes before its ALIVE.
    const auto now = Clock::now();
    if (now >= next_alive_ && !stop_requested_ && outbox_.empty() && link_.is_open() && !blocked_) {
        next_alive_ = now + times_.alive_every;
        send(control_message(Message::Kind::alive, kAliveBody, settings_));
    }
}

bool Publisher::next_message(Message &message)
{
    if (!outbox_.empty()) {
        message = std::move(outbox_.front());
        outbox_.pop_front();
        return true;
    }
    Outgoing item;
    if (!order_.pop(item))
        return false;
    if (item.kind == Outgoing::Kind::lost) {
        debt_.lost(item.events_lost);
        message = control_message(Message::Kind::fullsync, kFullsyncBody, settings_);
        return true;
    }
    message = prepared(std::move(item));
    return true;
}

Message Publisher::prepared(Outgoing &&item)
{
    const bool change = item.kind == Outgoing::Kind::change;
    Message message{.kind = change ? Message::Kind::change : Message::Kind::control,
                    .body = std::move(item.body),
                    .message_id = next_message_id(),
                    .timestamp = item.timestamp,
                    .seq = change ? ++seq_ : 0,
                    .facts = std::move(item.facts),
                    .buffer_bytes = item.buffer_bytes};
    route(message, settings_);
    return message;
}

bool Publisher::send(Message message)
{
    MessageProperties properties{.routing_key = message.routing_key,
                                 .bcc = message.bcc,
                                 .message_id = message.message_id,
                                 .timestamp = message.timestamp,
                                 .identity = &identity_};
    if (message.kind == Message::Kind::change) {
        properties.seq = message.seq;
        properties.replicated = message.facts.replicated;
        properties.entry_uuid = message.facts.entry_uuid;
        properties.csn = message.facts.csn;
    }
    const auto tag = writing([&] { return link_.publish(settings_, message.body, properties); });
    if (!tag) {
        outbox_.push_front(std::move(message));
        on_link_lost();
        return false;
    }
    if (message.replayed && message.kind == Message::Kind::change)
        ++monitor_.events_replayed;
    in_flight_.add(*tag, std::move(message));
    return true;
}

/* Messages the broker has refused for too long are a loss: one FULLSYNC
 * takes their place. A FULLSYNC itself is never given up. */
void Publisher::drop_refused()
{
    const auto now = Clock::now();
    std::vector<Message> refused;
    while (!outbox_.empty() && outbox_.front().refused_since &&
           now - *outbox_.front().refused_since >= times_.refusal_limit &&
           outbox_.front().kind != Message::Kind::fullsync) {
        refused.push_back(std::move(outbox_.front()));
        outbox_.pop_front();
    }
    if (refused.empty())
        return;
    const std::string why = "Брокер отклоняет " + std::to_string(refused.size()) +
                            " сообщений дольше " +
                            std::to_string(times_.refusal_limit.count() / 1000) +
                            " с (первое — о %s, %zu байт): они пропущены, потребителям будет "
                            "отправлен FULLSYNC\n";
    lose(refused, why.c_str());
}

/* `messages`, taken from the head of what goes out, are a loss: one line
 * (`why`, given the first one's DN and size) says so, and a FULLSYNC takes
 * their place at the head. */
void Publisher::lose(const std::vector<Message> &messages, const char *why)
{
    std::uint64_t events = 0;
    for (const auto &message : messages) {
        buffer_.give_back(message.buffer_bytes);
        events += message.kind == Message::Kind::change;
    }
    const Message &first = messages.front();
    const std::string dn = event_dn(first.body).value_or("управляющее сообщение");
    log_failure(kSendSubsystem, why, dn.c_str(), first.body.size());
    debt_.lost(events);
    if (outbox_.empty() || outbox_.front().kind != Message::Kind::fullsync)
        outbox_.push_front(control_message(Message::Kind::fullsync, kFullsyncBody, settings_));
}

bool Publisher::fullsync_pending() const
{
    auto is_fullsync = [](const Message &message) {
        return message.kind == Message::Kind::fullsync;
    };
    return std::any_of(outbox_.begin(), outbox_.end(), is_fullsync) ||
           in_flight_.holds(Message::Kind::fullsync);
}

bool Publisher::finished()
{
    if (!stop_requested_)
        return false;
    const auto now = Clock::now();
    if (flush_until_ == Clock::time_point{})
        flush_until_ = now + times_.flush_time;
    // What cannot be confirmed now is left to the FULLSYNC of the next start.
    if (!link_.is_open() || now >= flush_until_)
        return true;
    return outbox_.empty() && in_flight_.empty() && !order_.has_ready();
}

void Publisher::report_state()
{
    if (link_.node() != reported_node_) {
        reported_node_ = link_.node();
        monitor_.broker_node(reported_node_);
    }
    monitor_.broker_blocked = blocked_;
    std::int64_t oldest = 0;
    if (!in_flight_.empty())
        oldest = in_flight_.oldest().message.timestamp;
    else if (!outbox_.empty())
        oldest = outbox_.front().timestamp;
    monitor_.oldest_unconfirmed = oldest;
}

void Publisher::wait_for_work()
{
    const auto now = Clock::now();
    auto until = now + std::chrono::seconds(1);
    auto sooner = [&until](Clock::time_point t) { until = std::min(until, t); };
    const Phase current = phase();
    if (current == Phase::connecting)
        sooner(next_attempt_);
    if (current == Phase::streaming) {
        // An ALIVE goes out only behind what waits to go out again.
        if (outbox_.empty())
            sooner(next_alive_);
        if (!in_flight_.empty())
            sooner(in_flight_.oldest().sent_at + times_.reply_wait);
        if (!outbox_.empty() && outbox_.front().refused_since)
            sooner(*outbox_.front().refused_since + times_.refusal_limit);
    }
    const auto pass_over = order_.until_pass_over();
    if (pass_over != CommitOrder::Clock::duration::max())
        sooner(now + pass_over);
    if (stop_requested_)
        sooner(now + std::chrono::milliseconds(20));

    // Handed-over work wakes the thread only when it can take it.
    const bool can_take = current == Phase::streaming && in_flight_.size() < times_.max_in_flight;
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
