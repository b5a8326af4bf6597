#include "publisher.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <amqp_ssl_socket.h>
#include <amqp_tcp_socket.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cinttypes>
#include <cstring>
#include <ctime>
#include <thread>

#include <slapi-plugin.h>

#include "err.h"
#include "monitor.h"

namespace dirmirror {

const char kFullsyncBody[] = "{\"op_type\": \"FULLSYNC\"}";
const char kAliveBody[] = "{\"op_type\": \"ALIVE\"}";

namespace {

constexpr char kSendSubsystem[] = "send_message";
constexpr char kWaitContext[] = "amqp_simple_wait_frame_noblock(conn)";
constexpr int kPublisherNice = 10;

using Clock = std::chrono::steady_clock;

timeval to_timeval(std::chrono::microseconds wait)
{
    if (wait.count() < 0)
        wait = {};
    return {static_cast<time_t>(wait.count() / 1000000),
            static_cast<suseconds_t>(wait.count() % 1000000)};
}

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

/* Why the last TLS handshake on this thread failed, as OpenSSL tells it. */
std::string &tls_failure_reason()
{
    thread_local std::string reason;
    return reason;
}

int remember_verify_failure(int ok, X509_STORE_CTX *store)
{
    if (!ok && tls_failure_reason().empty())
        tls_failure_reason() = X509_verify_cert_error_string(X509_STORE_CTX_get_error(store));
    return ok;
}

/* A TLS 1.2+ socket that verifies the broker's certificate against the
 * configured CA and, unless turned off, its host name; nullptr (logged) when
 * the CA or the client key can't be loaded. */
amqp_socket_t *tls_socket(amqp_connection_state_t conn, const ConnectionConfig &config)
{
    amqp_socket_t *socket = amqp_ssl_socket_new(conn);
    if (socket == nullptr) {
        DM_LOG(kSendSubsystem, "amqp_ssl_socket_new(conn) :: Не удалось создать TLS сокет\n");
        return nullptr;
    }
    int status = amqp_ssl_socket_set_ssl_versions(socket, AMQP_TLSv1_2, AMQP_TLSvLATEST);
    if (status != AMQP_STATUS_OK) {
        DM_LOG(kSendSubsystem, "amqp_ssl_socket_set_ssl_versions(socket, TLSv1.2, latest) :: %s\n",
               amqp_error_string2(status));
        return nullptr;
    }
    status = amqp_ssl_socket_set_cacert(socket, config.cacert);
    if (status != AMQP_STATUS_OK) {
        DM_LOG(kSendSubsystem,
               "amqp_ssl_socket_set_cacert(socket, \"%s\") :: Не удалось загрузить сертификаты CA "
               "(RABBIT_CACERT): %s\n",
               config.cacert, amqp_error_string2(status));
        return nullptr;
    }
    if (setting_is_set(config.cert) || setting_is_set(config.key)) {
        status = amqp_ssl_socket_set_key(socket, config.cert, config.key);
        if (status != AMQP_STATUS_OK) {
            DM_LOG(kSendSubsystem,
                   "amqp_ssl_socket_set_key(socket, \"%s\", \"%s\") :: Не удалось загрузить "
                   "сертификат и ключ клиента (RABBIT_CERT, RABBIT_KEY): %s\n",
                   config.cert, config.key, amqp_error_string2(status));
            return nullptr;
        }
    }
    amqp_ssl_socket_set_verify_peer(socket, 1);
    amqp_ssl_socket_set_verify_hostname(socket, config.verify_hostname != 0);
    if (auto *context = static_cast<SSL_CTX *>(amqp_ssl_socket_get_context(socket)))
        X509_STORE_set_verify_cb(SSL_CTX_get_cert_store(context), remember_verify_failure);
    return socket;
}

/* OpenSSL's reason for the last failure on this thread, if it gave one. */
const char *openssl_reason()
{
    const unsigned long error = ERR_peek_last_error();
    const char *reason = error != 0 ? ERR_reason_error_string(error) : nullptr;
    return reason != nullptr ? reason : "";
}

/* The reply check, with OpenSSL's reason added to a TLS failure (a broker
 * that wants a client certificate refuses it only after the handshake). */
bool reply_ok(const ConnectionConfig &config, const char *context, const amqp_rpc_reply_t &reply)
{
    if (config.tls && reply.reply_type == AMQP_RESPONSE_LIBRARY_EXCEPTION && *openssl_reason()) {
        DM_LOG(kSendSubsystem, "%s :: %s: %s\n", context, amqp_error_string2(reply.library_error),
               openssl_reason());
        ERR_clear_error();
        return false;
    }
    return die_on_amqp_error(kSendSubsystem, context, reply) == 0;
}

void log_publish_refused(const ConnectionConfig &config, const char *what)
{
    DM_LOG(kSendSubsystem, "amqp_basic_publish(exchange=\"%s\", routingkey=\"%s\") :: %s", config.exchange,
           config.routingkey, what);
}

} // namespace

BrokerLink::BrokerLink(std::chrono::milliseconds reply_wait) : reply_wait_(reply_wait) {}

bool BrokerLink::open(const ConnectionConfig *config)
{
    drop();
    if (config == nullptr) {
        DM_LOG(kSendSubsystem, "connection_config :: Настройки подключения не загружены\n");
        return false;
    }
    auto nodes = broker_nodes(config->host, config->port);
    if (nodes.empty())
        nodes.push_back({config->host, config->port});
    // The first node that answers, starting after the one that failed last.
    for (size_t tried = 0; tried < nodes.size(); ++tried) {
        const size_t index = (first_node_ + tried) % nodes.size();
        if (open_node(*config, nodes[index])) {
            first_node_ = index;
            const std::string &host = nodes[index].host;
            node_ = (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" +
                    std::to_string(nodes[index].port);
            return true;
        }
    }
    return false;
}

bool BrokerLink::open_node(const ConnectionConfig &config, const BrokerNode &node)
{
    conn_ = amqp_new_connection();
    if (conn_ == nullptr) {
        DM_LOG(kSendSubsystem, "amqp_new_connection() :: Не удалось создать соединение\n");
        return false;
    }
    next_tag_ = 1;
    amqp_socket_t *socket = config.tls ? tls_socket(conn_, config) : amqp_tcp_socket_new(conn_);
    if (socket == nullptr) {
        if (!config.tls)
            DM_LOG(kSendSubsystem, "amqp_tcp_socket_new(conn) :: Не удалось создать TCP сокет\n");
        drop();
        return false;
    }
    timeval timeout = to_timeval(reply_wait_);
    tls_failure_reason().clear();
    const int opened = amqp_socket_open_noblock(socket, node.host.c_str(), node.port, &timeout);
    if (opened != 0 && config.tls && tls_failure_reason().empty())
        tls_failure_reason() = openssl_reason();
    ERR_clear_error();
    if (opened != 0) {
        if (config.tls)
            DM_LOG(kSendSubsystem,
                   "amqp_socket_open(socket, \"%s\", %d) :: Не удалось установить TLS "
                   "соединение: %s%s%s\n",
                   node.host.c_str(), node.port, amqp_error_string2(opened),
                   tls_failure_reason().empty() ? "" : ": ", tls_failure_reason().c_str());
        else
            DM_LOG(kSendSubsystem,
                   "amqp_socket_open(socket, \"%s\", %d) :: Не удалось открыть TCP сокет\n",
                   node.host.c_str(), node.port);
        drop();
        return false;
    }
    {
        std::lock_guard lock(fd_mutex_);
        fd_ = amqp_get_sockfd(conn_);
    }
    amqp_set_rpc_timeout(conn_, &timeout);
    if (!reply_ok(config, "amqp_login(...)",
                  amqp_login(conn_, config.vhost, 0, 131072, 0, AMQP_SASL_METHOD_PLAIN,
                             config.username, config.password))) {
        drop();
        return false;
    }
    amqp_channel_open(conn_, 1);
    if (!reply_ok(config, "amqp_get_rpc_reply(conn)", amqp_get_rpc_reply(conn_))) {
        drop();
        return false;
    }
    amqp_confirm_select(conn_, 1);
    if (!reply_ok(config, "amqp_confirm_select(conn, 1)", amqp_get_rpc_reply(conn_))) {
        drop();
        return false;
    }
    established_ = true;
    return true;
}

std::optional<std::uint64_t> BrokerLink::publish(const ConnectionConfig &config,
                                                 const std::string &body, std::int64_t timestamp,
                                                 const Headers &headers)
{
    const std::string message_id = next_message_id();
    amqp_basic_properties_t properties{};
    properties._flags = AMQP_BASIC_CONTENT_TYPE_FLAG | AMQP_BASIC_DELIVERY_MODE_FLAG |
                        AMQP_BASIC_MESSAGE_ID_FLAG | AMQP_BASIC_TIMESTAMP_FLAG;
    properties.content_type = amqp_cstring_bytes("text/plain");
    properties.delivery_mode = 2;
    properties.message_id = amqp_cstring_bytes(message_id.c_str());
    properties.timestamp = static_cast<std::uint64_t>(timestamp);
    amqp_table_entry_t entries[4]{};
    int count = 0;
    auto text = [](std::string_view value) {
        return amqp_bytes_t{value.size(), const_cast<char *>(value.data())};
    };
    if (headers.seq != 0) {
        entries[count].key = amqp_cstring_bytes("seq");
        entries[count].value.kind = AMQP_FIELD_KIND_I64;
        entries[count++].value.value.i64 = static_cast<std::int64_t>(headers.seq);
        entries[count].key = amqp_cstring_bytes("origin");
        entries[count].value.kind = AMQP_FIELD_KIND_UTF8;
        entries[count++].value.value.bytes = text(headers.origin);
        if (headers.facts != nullptr) {
            entries[count].key = amqp_cstring_bytes("replicated");
            entries[count].value.kind = AMQP_FIELD_KIND_BOOLEAN;
            entries[count++].value.value.boolean = headers.facts->replicated;
            if (!headers.facts->entry_uuid.empty()) {
                entries[count].key = amqp_cstring_bytes("entry_uuid");
                entries[count].value.kind = AMQP_FIELD_KIND_UTF8;
                entries[count++].value.value.bytes = text(headers.facts->entry_uuid);
            }
        }
        properties.headers = {count, entries};
        properties._flags |= AMQP_BASIC_HEADERS_FLAG;
    }
    const amqp_bytes_t bytes{body.size(), const_cast<char *>(body.data())};
    if (amqp_basic_publish(conn_, 1, amqp_cstring_bytes(config.exchange),
                           amqp_cstring_bytes(config.routingkey), 0, 0, &properties, bytes) < 0) {
        log_publish_refused(config, "Не удалось опубликовать сообщение");
        drop();
        return std::nullopt;
    }
    return next_tag_++;
}

BrokerLink::Frame BrokerLink::read(std::chrono::microseconds wait)
{
    if (conn_ == nullptr)
        return {Event::lost};
    amqp_frame_t frame;
    timeval timeout = to_timeval(wait);
    const int status = amqp_simple_wait_frame_noblock(conn_, &frame, &timeout);
    if (status == AMQP_STATUS_TIMEOUT)
        return {};
    if (status != AMQP_STATUS_OK) {
        DM_LOG(kSendSubsystem, "%s :: %s\n", kWaitContext, amqp_error_string2(status));
        drop();
        return {Event::lost};
    }
    if (frame.frame_type != AMQP_FRAME_METHOD)
        return {};
    switch (frame.payload.method.id) {
    case AMQP_BASIC_ACK_METHOD: {
        const auto *ack = static_cast<const amqp_basic_ack_t *>(frame.payload.method.decoded);
        return {Event::ack, ack->delivery_tag, ack->multiple != 0};
    }
    case AMQP_BASIC_NACK_METHOD: {
        const auto *nack = static_cast<const amqp_basic_nack_t *>(frame.payload.method.decoded);
        return {Event::nack, nack->delivery_tag, nack->multiple != 0};
    }
    case AMQP_BASIC_RETURN_METHOD: {
        // Only mandatory messages come back, and none is; read it off all the same.
        amqp_message_t returned;
        if (amqp_read_message(conn_, frame.channel, &returned, 0).reply_type == AMQP_RESPONSE_NORMAL)
            amqp_destroy_message(&returned);
        return {};
    }
    case AMQP_CHANNEL_CLOSE_METHOD:
    case AMQP_CONNECTION_CLOSE_METHOD: {
        // The broker refused something (a missing exchange, say) or is going
        // away: say why, acknowledge the close and start afresh.
        amqp_rpc_reply_t reply{};
        reply.reply_type = AMQP_RESPONSE_SERVER_EXCEPTION;
        reply.reply = frame.payload.method;
        die_on_amqp_error(kSendSubsystem, kWaitContext, reply);
        if (frame.payload.method.id == AMQP_CHANNEL_CLOSE_METHOD) {
            amqp_channel_close_ok_t ok{};
            amqp_send_method(conn_, frame.channel, AMQP_CHANNEL_CLOSE_OK_METHOD, &ok);
        } else {
            amqp_connection_close_ok_t ok{};
            amqp_send_method(conn_, 0, AMQP_CONNECTION_CLOSE_OK_METHOD, &ok);
        }
        drop();
        return {Event::lost};
    }
    default:
        return {};
    }
}

void BrokerLink::close_politely()
{
    if (conn_ == nullptr)
        return;
    amqp_channel_close(conn_, 1, AMQP_REPLY_SUCCESS);
    amqp_connection_close(conn_, AMQP_REPLY_SUCCESS);
    drop();
}

void BrokerLink::drop()
{
    if (conn_ == nullptr)
        return;
    if (established_) {
        // This node failed us: the next connection starts with the next one.
        established_ = false;
        ++first_node_;
    }
    node_.clear();
    std::lock_guard lock(fd_mutex_);
    amqp_destroy_connection(conn_);
    conn_ = nullptr;
    fd_ = -1;
}

void BrokerLink::interrupt()
{
    std::lock_guard lock(fd_mutex_);
    if (fd_ >= 0)
        shutdown(fd_, SHUT_RDWR);
}

bool publish_confirmed_once(const ConnectionConfig *config, const std::string &body,
                            std::chrono::milliseconds reply_wait)
{
    BrokerLink link(reply_wait);
    if (!link.open(config))
        return false;
    const auto tag = link.publish(*config, body, now_seconds(), {});
    if (!tag)
        return false;
    const auto deadline = Clock::now() + reply_wait;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            DM_LOG(kSendSubsystem, "%s :: %s\n", kWaitContext,
                   amqp_error_string2(AMQP_STATUS_TIMEOUT));
            return false;
        }
        const auto frame = link.read(left);
        if (frame.event == BrokerLink::Event::lost)
            return false;
        if (frame.event == BrokerLink::Event::nack) {
            log_publish_refused(*config, "Брокер отклонил сообщение (basic.nack)\n");
            return false;
        }
        if (frame.event == BrokerLink::Event::ack && frame.delivery_tag >= *tag) {
            link.close_politely();
            return true;
        }
    }
}

Publisher::Publisher(CommitOrder &order, ConnectionConfig *const &config,
                     std::atomic<int> &owed_flag, PublisherTimes times, std::string origin)
    : order_(order), config_(config), owed_flag_(owed_flag), times_(times),
      origin_(std::move(origin)), link_(times.reply_wait)
{
}

void Publisher::run()
{
    {
        std::lock_guard lock(done_mutex_);
        if (running_ || finished_)
            return; // one publisher thread at a time, and only once
        running_ = true;
    }
    // The directory's own threads come first when the cores are busy; this
    // one catches up when they are not.
    setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), kPublisherNice);
    owed_ = owed_flag_.load() != 0;
    next_attempt_ = next_alive_ = Clock::now();
    while (!finished()) {
        read_confirms();
        if (owed_)
            work_towards_fullsync();
        else
            publish_in_order();
        report_link();
        wait_for_work();
    }
    const size_t unconfirmed = in_flight_.size();
    link_.close_politely();
    report_link();
    // Either way the FULLSYNC of the next start covers what is missing.
    if (owed_)
        DM_LOG(kSendSubsystem, "Остановка: FULLSYNC не подтверждён брокером, изменения с тех пор "
                               "не опубликованы; их покроет FULLSYNC при следующем запуске\n");
    else if (unconfirmed > 0)
        DM_LOG(kSendSubsystem,
               "Остановка: %zu сообщений без подтверждения брокера; их покроет FULLSYNC при "
               "следующем запуске\n",
               unconfirmed);
    std::lock_guard lock(done_mutex_);
    finished_ = true;
    done_.notify_all();
}

bool Publisher::stop(std::chrono::milliseconds wait)
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
    return done_.wait_for(lock, std::chrono::seconds(1), [this] { return finished_; });
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
        Clock::now() - in_flight_.front().sent_at >= times_.reply_wait) {
        DM_LOG(kSendSubsystem, "%s :: %s\n", kWaitContext, amqp_error_string2(AMQP_STATUS_TIMEOUT));
        link_.drop();
        on_link_lost();
    }
}

void Publisher::on_confirm(const BrokerLink::Frame &frame)
{
    const bool acked = frame.event == BrokerLink::Event::ack;
    bool nack_logged = false;
    for (auto it = in_flight_.begin(); it != in_flight_.end();) {
        if (it->tag > frame.delivery_tag || (!frame.multiple && it->tag != frame.delivery_tag)) {
            ++it;
            continue;
        }
        const InFlight confirmed = *it;
        it = in_flight_.erase(it);
        if (acked) {
            if (confirmed.change)
                ++monitor().events_published;
            if (confirmed.fullsync)
                ++monitor().fullsyncs_published;
            if (confirmed.fullsync && fullsync_tag_ == confirmed.tag) {
                fullsync_tag_.reset();
                owed_ = false;
                owed_flag_ = 0;
            }
            continue;
        }
        if (confirmed.change)
            ++monitor().events_dropped;
        if (!nack_logged && config_ != nullptr) {
            nack_logged = true;
            log_publish_refused(*config_, "Брокер отклонил сообщение (basic.nack)\n");
        }
        if (confirmed.fullsync)
            fullsync_tag_.reset(); // tried again when the retry pause is over
        else if (!(fullsync_tag_ && confirmed.tag < *fullsync_tag_))
            owe_fullsync(); // unless the FULLSYNC on its way already covers it
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
    if (!in_flight_.empty())
        owe_fullsync();
    monitor().events_dropped +=
        std::count_if(in_flight_.begin(), in_flight_.end(), [](const InFlight &m) { return m.change; });
    in_flight_.clear();
    fullsync_tag_.reset();
    if (!owed_)
        next_attempt_ = Clock::now();
}

void Publisher::publish_in_order()
{
    const auto now = Clock::now();
    if (!link_.is_open()) {
        if (stop_requested_ || now < next_attempt_)
            return;
        if (!connect())
            return;
    }
    if (now >= next_alive_ && !stop_requested_) {
        next_alive_ = now + times_.alive_every;
        if (!publish(kAliveBody, now_seconds(), nullptr, false))
            return;
    }
    stream_idle_ = false;
    // A batch leaves in as few segments as it fills: the broker wakes once
    // per batch instead of once per message.
    struct Cork {
        const BrokerLink &link;
        const int fd = link.fd();
        explicit Cork(const BrokerLink &l) : link(l) { set(1); }
        ~Cork()
        {
            if (link.is_open() && link.fd() == fd) // not a socket that replaced it
                set(0);
        }
        void set(int on) const { setsockopt(fd, IPPROTO_TCP, TCP_CORK, &on, sizeof on); }
    };
    std::optional<Cork> cork; // only once there is something to send
    while (link_.is_open() && in_flight_.size() < times_.max_in_flight) {
        Outgoing item;
        if (!order_.pop(item)) {
            stream_idle_ = true;
            return;
        }
        if (!cork)
            cork.emplace(link_);
        if (item.kind == Outgoing::Kind::lost) {
            owe_fullsync();
            return;
        }
        const bool change = item.kind == Outgoing::Kind::change;
        if (!publish(item.body, item.timestamp, change ? &item.facts : nullptr, false))
            return;
    }
}

void Publisher::work_towards_fullsync()
{
    if (fullsync_tag_)
        return; // what is queued now comes after the FULLSYNC on its way
    // Everything queued was committed before the FULLSYNC that will cover it.
    discard_ready();
    const auto now = Clock::now();
    if (stop_requested_ || now < next_attempt_)
        return;
    next_attempt_ = now + times_.fullsync_retry;
    if (!link_.is_open() && !connect())
        return;
    if (publish(kFullsyncBody, now_seconds(), nullptr, true))
        fullsync_tag_ = in_flight_.back().tag;
}

bool Publisher::connect()
{
    if (link_.open(config_))
        return true;
    owe_fullsync();
    next_attempt_ = Clock::now() + times_.fullsync_retry;
    return false;
}

bool Publisher::publish(const std::string &body, std::int64_t timestamp, const ChangeFacts *change,
                        bool fullsync)
{
    BrokerLink::Headers headers;
    if (change != nullptr)
        headers = {++seq_, origin_, change};
    const auto tag = link_.publish(*config_, body, timestamp, headers);
    if (!tag) {
        if (change != nullptr)
            ++monitor().events_dropped;
        owe_fullsync();
        on_link_lost();
        return false;
    }
    in_flight_.push_back({*tag, fullsync, change != nullptr, Clock::now()});
    return true;
}

void Publisher::owe_fullsync()
{
    if (owed_)
        return;
    owed_ = true;
    owed_flag_ = 1;
}

void Publisher::discard_ready()
{
    Outgoing item;
    while (order_.pop(item))
        if (item.kind == Outgoing::Kind::change)
            ++monitor().events_dropped;
}

bool Publisher::finished()
{
    if (!stop_requested_)
        return false;
    const auto now = Clock::now();
    if (flush_until_ == Clock::time_point{})
        flush_until_ = now + times_.stop_flush;
    // What cannot be kept is left to the FULLSYNC of the next start.
    if (owed_ || !link_.is_open() || now >= flush_until_)
        return true;
    return stream_idle_ && in_flight_.empty();
}

void Publisher::report_link()
{
    if (link_.node() == reported_node_)
        return;
    reported_node_ = link_.node();
    monitor().broker_node(reported_node_);
}

void Publisher::wait_for_work()
{
    const auto now = Clock::now();
    auto until = now + std::chrono::seconds(1);
    auto sooner = [&until](Clock::time_point t) { until = std::min(until, t); };
    if (owed_ || !link_.is_open())
        sooner(next_attempt_);
    else
        sooner(next_alive_);
    if (!in_flight_.empty())
        sooner(in_flight_.front().sent_at + times_.reply_wait);
    const auto pass_over = order_.until_pass_over();
    if (pass_over != CommitOrder::Clock::duration::max())
        sooner(now + pass_over);
    if (stop_requested_)
        sooner(now + std::chrono::milliseconds(20));

    // Handed-over work wakes the thread only when it can take it.
    const bool can_take = owed_ ? !fullsync_tag_ : in_flight_.size() < times_.max_in_flight;
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
