#include "broker_link.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <amqp_ssl_socket.h>
#include <amqp_tcp_socket.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <string>

#include "log.h"
#include "timings.h"

namespace dirmirror {

namespace {

timeval to_timeval(std::chrono::microseconds wait)
{
    if (wait.count() < 0)
        wait = {};
    return {static_cast<time_t>(wait.count() / 1000000),
            static_cast<suseconds_t>(wait.count() % 1000000)};
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
amqp_socket_t *tls_socket(amqp_connection_state_t conn, const Settings &settings)
{
    amqp_socket_t *socket = amqp_ssl_socket_new(conn);
    if (socket == nullptr) {
        log_failure(kSendSubsystem, "amqp_ssl_socket_new(conn) :: Не удалось создать TLS сокет\n");
        return nullptr;
    }
    int status = amqp_ssl_socket_set_ssl_versions(socket, AMQP_TLSv1_2, AMQP_TLSvLATEST);
    if (status != AMQP_STATUS_OK) {
        log_failure(kSendSubsystem, "amqp_ssl_socket_set_ssl_versions(socket, TLSv1.2, latest) :: %s\n",
               amqp_error_string2(status));
        return nullptr;
    }
    const std::string cacert = settings.cacert.value_or("");
    status = amqp_ssl_socket_set_cacert(socket, cacert.c_str());
    if (status != AMQP_STATUS_OK) {
        log_failure(kSendSubsystem,
               "amqp_ssl_socket_set_cacert(socket, \"%s\") :: Не удалось загрузить сертификаты CA "
               "(RABBIT_CACERT): %s\n",
               cacert.c_str(), amqp_error_string2(status));
        return nullptr;
    }
    if (settings.cert && settings.key) {
        const char *cert = settings.cert->c_str(), *key = settings.key->c_str();
        status = amqp_ssl_socket_set_key(socket, cert, key);
        if (status != AMQP_STATUS_OK) {
            log_failure(kSendSubsystem,
                   "amqp_ssl_socket_set_key(socket, \"%s\", \"%s\") :: Не удалось загрузить "
                   "сертификат и ключ клиента (RABBIT_CERT, RABBIT_KEY): %s\n",
                   cert, key, amqp_error_string2(status));
            return nullptr;
        }
    }
    amqp_ssl_socket_set_verify_peer(socket, 1);
    amqp_ssl_socket_set_verify_hostname(socket, settings.verify_hostname);
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

/* How the connection to a node failed to open, as one line. */
void log_open_failure(const Settings &settings, const BrokerNode &node, int status)
{
    if (!settings.tls) {
        log_failure(kSendSubsystem,
                    "amqp_socket_open(socket, \"%s\", %d) :: Не удалось открыть TCP сокет\n",
                    node.host.c_str(), node.port);
        return;
    }
    log_failure(kSendSubsystem,
                "amqp_socket_open(socket, \"%s\", %d) :: Не удалось установить TLS "
                "соединение: %s%s%s\n",
                node.host.c_str(), node.port, amqp_error_string2(status),
                tls_failure_reason().empty() ? "" : ": ", tls_failure_reason().c_str());
}

amqp_bytes_t bytes_of(std::string_view text)
{
    return {text.size(), const_cast<char *>(text.data())};
}

} // namespace

bool check_amqp_reply(const char *subsystem, const char *context, const amqp_rpc_reply_t &reply)
{
    switch (reply.reply_type) {
    case AMQP_RESPONSE_NORMAL:
        return true;
    case AMQP_RESPONSE_NONE:
        log_failure(subsystem, "%s :: Отсутствет тип ответа RPC\n", context);
        return false;
    case AMQP_RESPONSE_LIBRARY_EXCEPTION:
        log_failure(subsystem, "%s :: %s\n", context, amqp_error_string2(reply.library_error));
        return false;
    case AMQP_RESPONSE_SERVER_EXCEPTION:
        // A close method without its decoded body is reported like an unknown one.
        switch (reply.reply.decoded ? reply.reply.id : 0) {
        case AMQP_CONNECTION_CLOSE_METHOD: {
            const auto *m = static_cast<const amqp_connection_close_t *>(reply.reply.decoded);
            log_failure(subsystem, "%s :: Ошибка подключения к серверу %uh, message: %.*s\n", context,
                   m->reply_code, static_cast<int>(m->reply_text.len),
                   static_cast<const char *>(m->reply_text.bytes));
            return false;
        }
        case AMQP_CHANNEL_CLOSE_METHOD: {
            const auto *m = static_cast<const amqp_channel_close_t *>(reply.reply.decoded);
            log_failure(subsystem, "%s :: Шибка канала сервера %uh, message: %.*s\n", context,
                   m->reply_code, static_cast<int>(m->reply_text.len),
                   static_cast<const char *>(m->reply_text.bytes));
            return false;
        }
        default:
            log_failure(subsystem, "%s :: Неизвестная ошибка сервера, method id 0x%08X\n", context,
                   reply.reply.id);
            return false;
        }
    }
    return true;
}

void log_publish_refused(const Settings &settings, const char *what)
{
    log_failure(kSendSubsystem, "amqp_basic_publish(exchange=\"%s\", routingkey=\"%s\") :: %s",
                settings.exchange.c_str(), settings.routing_key.c_str(), what);
}

BrokerLink::BrokerLink(std::chrono::milliseconds reply_wait) : reply_wait_(reply_wait) {}

bool BrokerLink::open(const Settings &settings)
{
    drop();
    const auto nodes = broker_nodes(settings.host, settings.port).value_or(std::vector<BrokerNode>{});
    if (nodes.empty()) {
        log_failure(kSendSubsystem, "RABBIT_HOST :: Не задан ни один узел брокера\n");
        return false;
    }
    // The first node that answers, starting after the one that failed last.
    for (size_t tried = 0; tried < nodes.size(); ++tried) {
        const size_t index = (first_node_ + tried) % nodes.size();
        if (open_node(settings, nodes[index])) {
            first_node_ = index;
            const std::string &host = nodes[index].host;
            node_ = (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" +
                    std::to_string(nodes[index].port);
            return true;
        }
    }
    return false;
}

bool BrokerLink::open_node(const Settings &settings, const BrokerNode &node)
{
    conn_ = amqp_new_connection();
    if (conn_ == nullptr) {
        log_failure(kSendSubsystem, "amqp_new_connection() :: Не удалось создать соединение\n");
        return false;
    }
    next_tag_ = 1;
    amqp_socket_t *socket = settings.tls ? tls_socket(conn_, settings) : amqp_tcp_socket_new(conn_);
    if (socket == nullptr) {
        if (!settings.tls)
            log_failure(kSendSubsystem,
                        "amqp_tcp_socket_new(conn) :: Не удалось создать TCP сокет\n");
        drop();
        return false;
    }
    timeval open_timeout = to_timeval(std::min(reply_wait_, timings::kConnectWait));
    tls_failure_reason().clear();
    const int opened =
        amqp_socket_open_noblock(socket, node.host.c_str(), node.port, &open_timeout);
    if (opened != 0 && settings.tls && tls_failure_reason().empty())
        tls_failure_reason() = openssl_reason();
    ERR_clear_error();
    if (opened != 0) {
        log_open_failure(settings, node, opened);
        drop();
        return false;
    }
    {
        std::lock_guard lock(fd_mutex_);
        fd_ = amqp_get_sockfd(conn_);
    }
    timeval timeout = to_timeval(reply_wait_);
    amqp_set_rpc_timeout(conn_, &timeout);
    if (!log_in(settings)) {
        drop();
        return false;
    }
    established_ = true;
    return true;
}

/* Login, channel 1 and publisher confirms on it. */
bool BrokerLink::log_in(const Settings &settings)
{
    // rabbitmq-c adds these capabilities to its own.
    amqp_table_entry_t capability{amqp_cstring_bytes("connection.blocked"), {}};
    capability.value.kind = AMQP_FIELD_KIND_BOOLEAN;
    capability.value.value.boolean = 1;
    amqp_table_entry_t property{amqp_cstring_bytes("capabilities"), {}};
    property.value.kind = AMQP_FIELD_KIND_TABLE;
    property.value.value.table = {1, &capability};
    const amqp_table_t properties{1, &property};
    if (!check_reply(settings, "amqp_login(...)",
                     amqp_login_with_properties(conn_, settings.vhost.c_str(), 0, 131072, 0,
                                                &properties, AMQP_SASL_METHOD_PLAIN,
                                                settings.username.c_str(),
                                                settings.password.c_str())))
        return false;
    amqp_channel_open(conn_, 1);
    if (!check_reply(settings, "amqp_get_rpc_reply(conn)", amqp_get_rpc_reply(conn_)))
        return false;
    amqp_confirm_select(conn_, 1);
    return check_reply(settings, "amqp_confirm_select(conn, 1)", amqp_get_rpc_reply(conn_));
}

/* The reply check, with OpenSSL's reason added to a TLS failure (a broker
 * that wants a client certificate refuses it only after the handshake). */
bool BrokerLink::check_reply(const Settings &settings, const char *context,
                             const amqp_rpc_reply_t &reply)
{
    if (settings.tls && reply.reply_type == AMQP_RESPONSE_LIBRARY_EXCEPTION && *openssl_reason()) {
        log_failure(kSendSubsystem, "%s :: %s: %s\n", context,
                    amqp_error_string2(reply.library_error), openssl_reason());
        ERR_clear_error();
        return false;
    }
    return check_amqp_reply(kSendSubsystem, context, reply);
}

std::optional<std::uint64_t> BrokerLink::publish(const Settings &settings, std::string_view body,
                                                 const MessageProperties &message)
{
    amqp_basic_properties_t properties{};
    properties._flags = AMQP_BASIC_CONTENT_TYPE_FLAG | AMQP_BASIC_DELIVERY_MODE_FLAG |
                        AMQP_BASIC_MESSAGE_ID_FLAG | AMQP_BASIC_TIMESTAMP_FLAG;
    properties.content_type = amqp_cstring_bytes("text/plain");
    properties.delivery_mode = 2;
    properties.message_id = bytes_of(message.message_id);
    properties.timestamp = static_cast<std::uint64_t>(message.timestamp);
    amqp_table_entry_t entries[8]{};
    int count = 0;
    auto header = [&](const char *key, std::uint8_t kind) -> amqp_field_value_t & {
        entries[count].key = amqp_cstring_bytes(key);
        entries[count].value.kind = kind;
        return entries[count++].value;
    };
    auto text = [&](const char *key, std::string_view value) {
        header(key, AMQP_FIELD_KIND_UTF8).value.bytes = bytes_of(value);
    };
    if (message.identity != nullptr) {
        text("origin", message.identity->origin);
        text("run_id", message.identity->run_id);
        text("format", kMessageFormat);
    }
    if (message.seq != 0) {
        header("seq", AMQP_FIELD_KIND_I64).value.i64 = static_cast<std::int64_t>(message.seq);
        header("replicated", AMQP_FIELD_KIND_BOOLEAN).value.boolean = message.replicated;
        if (!message.entry_uuid.empty())
            text("entry_uuid", message.entry_uuid);
        if (!message.csn.empty())
            text("csn", message.csn);
    }
    amqp_field_value_t bcc{};
    if (!message.bcc.empty()) {
        bcc.kind = AMQP_FIELD_KIND_UTF8;
        bcc.value.bytes = bytes_of(message.bcc);
        header("BCC", AMQP_FIELD_KIND_ARRAY).value.array = {1, &bcc};
    }
    if (count > 0) {
        properties.headers = {count, entries};
        properties._flags |= AMQP_BASIC_HEADERS_FLAG;
    }
    const std::string_view routing_key =
        message.routing_key.empty() ? std::string_view(settings.routing_key) : message.routing_key;
    if (amqp_basic_publish(conn_, 1, amqp_cstring_bytes(settings.exchange.c_str()),
                           bytes_of(routing_key), 0, 0, &properties, bytes_of(body)) < 0) {
        log_publish_refused(settings, "Не удалось опубликовать сообщение");
        drop();
        return std::nullopt;
    }
    return next_tag_++;
}

BrokerLink::Frame BrokerLink::read(std::chrono::microseconds wait)
{
    const Frame frame = read_frame(wait);
    // The client library keeps every decoded frame in the connection's pools
    // until told that none is in use any more; the frame's facts are copied.
    if (conn_ != nullptr)
        amqp_maybe_release_buffers(conn_);
    return frame;
}

BrokerLink::Frame BrokerLink::read_frame(std::chrono::microseconds wait)
{
    if (conn_ == nullptr)
        return {Event::lost};
    amqp_frame_t frame;
    timeval timeout = to_timeval(wait);
    const int status = amqp_simple_wait_frame_noblock(conn_, &frame, &timeout);
    if (status == AMQP_STATUS_TIMEOUT)
        return {};
    if (status != AMQP_STATUS_OK) {
        log_failure(kSendSubsystem, "%s :: %s\n", kWaitContext, amqp_error_string2(status));
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
    case AMQP_CONNECTION_BLOCKED_METHOD:
        return {Event::blocked};
    case AMQP_CONNECTION_UNBLOCKED_METHOD:
        return {Event::unblocked};
    case AMQP_BASIC_RETURN_METHOD: {
        // Only mandatory messages come back, and none is; read it off all the same.
        amqp_message_t returned;
        if (amqp_read_message(conn_, frame.channel, &returned, 0).reply_type == AMQP_RESPONSE_NORMAL)
            amqp_destroy_message(&returned);
        return {};
    }
    case AMQP_CHANNEL_CLOSE_METHOD:
    case AMQP_CONNECTION_CLOSE_METHOD:
        return closed_by_broker(frame);
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

/* The broker refused something (a message larger than it takes, a missing
 * exchange) or is going away: say why, acknowledge the close and start
 * afresh. */
BrokerLink::Frame BrokerLink::closed_by_broker(const amqp_frame_t &frame)
{
    amqp_rpc_reply_t reply{};
    reply.reply_type = AMQP_RESPONSE_SERVER_EXCEPTION;
    reply.reply = frame.payload.method;
    check_amqp_reply(kSendSubsystem, kWaitContext, reply);
    Frame closed{Event::lost};
    if (frame.payload.method.id == AMQP_CHANNEL_CLOSE_METHOD) {
        closed.event = Event::refused;
        if (const auto *close = static_cast<const amqp_channel_close_t *>(frame.payload.method.decoded)) {
            // RabbitMQ: "PRECONDITION_FAILED - message size N is larger than configured max size M".
            const std::string_view text(static_cast<const char *>(close->reply_text.bytes),
                                        close->reply_text.len);
            closed.too_large = close->reply_code == AMQP_PRECONDITION_FAILED &&
                               text.find("message size") != std::string_view::npos;
        }
        amqp_channel_close_ok_t ok{};
        amqp_send_method(conn_, frame.channel, AMQP_CHANNEL_CLOSE_OK_METHOD, &ok);
    } else {
        amqp_connection_close_ok_t ok{};
        amqp_send_method(conn_, 0, AMQP_CONNECTION_CLOSE_OK_METHOD, &ok);
    }
    drop();
    return closed;
}

} // namespace dirmirror
