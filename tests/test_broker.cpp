#include "test_broker.h"

#include <amqp_tcp_socket.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace {

void check(amqp_rpc_reply_t reply, const char *what)
{
    if (reply.reply_type != AMQP_RESPONSE_NORMAL)
        throw std::runtime_error(std::string("test broker: ") + what + " failed");
}

std::string to_string(amqp_bytes_t bytes)
{
    return {static_cast<const char *>(bytes.bytes), bytes.len};
}

} // namespace

int broker_port()
{
    const char *port = std::getenv("DIRMIRROR_AMQP_PORT");
    return port ? std::atoi(port) : 5672;
}

std::string unique_name(const std::string &prefix)
{
    static std::atomic<int> counter{0};
    return prefix + "." + std::to_string(getpid()) + "." + std::to_string(counter++);
}

dirmirror::Settings broker_config(const std::string &exchange, const std::string &routing_key)
{
    dirmirror::Settings config;
    config.host = "127.0.0.1";
    config.port = broker_port();
    config.vhost = "/";
    config.exchange = exchange;
    config.routing_key = routing_key;
    config.username = "guest";
    config.password = "guest";
    return config;
}

TestQueue::TestQueue(std::string exchange, std::string routing_key, int max_length)
    : exchange_(std::move(exchange)), conn_(amqp_new_connection())
{
    amqp_socket_t *socket = amqp_tcp_socket_new(conn_);
    if (socket == nullptr || amqp_socket_open(socket, "127.0.0.1", broker_port()) != 0) {
        amqp_destroy_connection(conn_);
        throw std::runtime_error("test broker: nothing listens on 127.0.0.1:" +
                                 std::to_string(broker_port()) + " (start it with testbed/broker-start)");
    }
    check(amqp_login(conn_, "/", 0, 131072, 0, AMQP_SASL_METHOD_PLAIN, "guest", "guest"), "login");
    amqp_channel_open(conn_, 1);
    check(amqp_get_rpc_reply(conn_), "channel open");
    amqp_exchange_declare(conn_, 1, amqp_cstring_bytes(exchange_.c_str()),
                          amqp_cstring_bytes("direct"), 0, 0, 0, 0, amqp_empty_table);
    check(amqp_get_rpc_reply(conn_), "exchange declare");
    amqp_table_entry_t limits[2];
    limits[0].key = amqp_cstring_bytes("x-max-length");
    limits[0].value.kind = AMQP_FIELD_KIND_I32;
    limits[0].value.value.i32 = max_length;
    limits[1].key = amqp_cstring_bytes("x-overflow");
    limits[1].value.kind = AMQP_FIELD_KIND_UTF8;
    limits[1].value.value.bytes = amqp_cstring_bytes("reject-publish");
    const amqp_table_t arguments = max_length > 0 ? amqp_table_t{2, limits} : amqp_empty_table;
    amqp_queue_declare_ok_t *queue =
        amqp_queue_declare(conn_, 1, amqp_empty_bytes, 0, 0, 1, 1, arguments);
    check(amqp_get_rpc_reply(conn_), "queue declare");
    queue_name_ = amqp_bytes_malloc_dup(queue->queue);
    amqp_queue_bind(conn_, 1, queue_name_, amqp_cstring_bytes(exchange_.c_str()),
                    amqp_cstring_bytes(routing_key.c_str()), amqp_empty_table);
    check(amqp_get_rpc_reply(conn_), "queue bind");
}

TestQueue::~TestQueue()
{
    amqp_exchange_delete(conn_, 1, amqp_cstring_bytes(exchange_.c_str()), 0);
    amqp_channel_close(conn_, 1, AMQP_REPLY_SUCCESS);
    amqp_connection_close(conn_, AMQP_REPLY_SUCCESS);
    amqp_destroy_connection(conn_);
    amqp_bytes_free(queue_name_);
}

std::vector<Delivered> TestQueue::wait_for(size_t count, std::chrono::milliseconds timeout)
{
    if (!consuming_) {
        amqp_basic_consume(conn_, 1, queue_name_, amqp_empty_bytes, 0, 1, 1, amqp_empty_table);
        check(amqp_get_rpc_reply(conn_), "consume");
        consuming_ = true;
    }
    std::vector<Delivered> messages;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (messages.size() < count) {
        const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        timeval tv{static_cast<time_t>(left.count() / 1000000),
                   static_cast<suseconds_t>(left.count() % 1000000)};
        amqp_envelope_t envelope;
        amqp_maybe_release_buffers(conn_);
        const amqp_rpc_reply_t reply = amqp_consume_message(conn_, &envelope, &tv, 0);
        if (reply.reply_type != AMQP_RESPONSE_NORMAL)
            break;
        const amqp_basic_properties_t &p = envelope.message.properties;
        Delivered d;
        d.body = to_string(envelope.message.body);
        d.routing_key = to_string(envelope.routing_key);
        if (p._flags & AMQP_BASIC_CONTENT_TYPE_FLAG)
            d.content_type = to_string(p.content_type);
        if (p._flags & AMQP_BASIC_DELIVERY_MODE_FLAG)
            d.delivery_mode = p.delivery_mode;
        if (p._flags & AMQP_BASIC_MESSAGE_ID_FLAG)
            d.message_id = to_string(p.message_id);
        if (p._flags & AMQP_BASIC_TIMESTAMP_FLAG)
            d.timestamp = static_cast<std::int64_t>(p.timestamp);
        bool unknown_header = false;
        for (int i = 0; (p._flags & AMQP_BASIC_HEADERS_FLAG) && i < p.headers.num_entries; ++i) {
            const auto &entry = p.headers.entries[i];
            const std::string key = to_string(entry.key);
            if (key == "seq" && entry.value.kind == AMQP_FIELD_KIND_I64)
                d.seq = entry.value.value.i64;
            else if (key == "origin" && entry.value.kind == AMQP_FIELD_KIND_UTF8)
                d.origin = to_string(entry.value.value.bytes);
            else if (key == "run_id" && entry.value.kind == AMQP_FIELD_KIND_UTF8)
                d.run_id = to_string(entry.value.value.bytes);
            else if (key == "format" && entry.value.kind == AMQP_FIELD_KIND_UTF8)
                d.format = to_string(entry.value.value.bytes);
            else if (key == "csn" && entry.value.kind == AMQP_FIELD_KIND_UTF8)
                d.csn = to_string(entry.value.value.bytes);
            else if (key == "entry_uuid" && entry.value.kind == AMQP_FIELD_KIND_UTF8)
                d.entry_uuid = to_string(entry.value.value.bytes);
            else if (key == "replicated" && entry.value.kind == AMQP_FIELD_KIND_BOOLEAN)
                d.replicated = entry.value.value.boolean != 0;
            else
                unknown_header = true;
        }
        d.has_other_properties =
            (p._flags & ~(AMQP_BASIC_CONTENT_TYPE_FLAG | AMQP_BASIC_DELIVERY_MODE_FLAG |
                          AMQP_BASIC_MESSAGE_ID_FLAG | AMQP_BASIC_TIMESTAMP_FLAG |
                          AMQP_BASIC_HEADERS_FLAG)) != 0 ||
            unknown_header;
        messages.push_back(std::move(d));
        amqp_destroy_envelope(&envelope);
    }
    return messages;
}

std::vector<Delivered> TestQueue::drain(std::chrono::milliseconds quiet)
{
    std::vector<Delivered> all;
    for (;;) {
        auto more = wait_for(1, quiet);
        if (more.empty())
            return all;
        all.push_back(std::move(more.front()));
    }
}

std::vector<std::string> bodies(const std::vector<Delivered> &messages)
{
    std::vector<std::string> out;
    for (const auto &m : messages)
        out.push_back(m.body);
    return out;
}

int listen_on_loopback(int &port)
{
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        listen(listener, 8) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length) != 0)
        throw std::runtime_error("no listening socket on loopback");
    port = ntohs(address.sin_port);
    return listener;
}

CutProxy::CutProxy() : listener_(listen_on_loopback(port_))
{
    acceptor_ = std::thread([this] {
        for (;;) {
            const int client = accept(listener_, nullptr, nullptr);
            if (client < 0)
                return;
            const int upstream = socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in broker{};
            broker.sin_family = AF_INET;
            broker.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            broker.sin_port = htons(static_cast<uint16_t>(broker_port()));
            if (connect(upstream, reinterpret_cast<sockaddr *>(&broker), sizeof broker) != 0) {
                close(client);
                close(upstream);
                continue;
            }
            std::lock_guard lock(mutex_);
            sockets_.insert(sockets_.end(), {client, upstream});
            threads_.emplace_back([this, client, upstream] { pump(client, upstream, false); });
            threads_.emplace_back([this, client, upstream] { pump(upstream, client, true); });
        }
    });
}

void CutProxy::pump(int from, int to, bool replies)
{
    char buffer[16384];
    for (;;) {
        if ((replies && hold_) || (!replies && stall_)) {
            if (closing_)
                return;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            pollfd p{from, 0, 0};
            if (poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR)))
                return;
            continue;
        }
        pollfd p{from, POLLIN, 0};
        if (poll(&p, 1, 50) == 0 || (replies && hold_) || (!replies && stall_))
            continue; // held since the poll began: leave the bytes unread
        const ssize_t n = recv(from, buffer, sizeof buffer, 0);
        if (n <= 0 || send(to, buffer, static_cast<size_t>(n), MSG_NOSIGNAL) != n) {
            shutdown(to, SHUT_RDWR);
            return;
        }
    }
}

void CutProxy::cut()
{
    std::lock_guard lock(mutex_);
    for (const int s : sockets_)
        shutdown(s, SHUT_RDWR);
}

CutProxy::~CutProxy()
{
    closing_ = true;
    shutdown(listener_, SHUT_RDWR);
    acceptor_.join();
    close(listener_);
    cut();
    for (auto &t : threads_)
        t.join();
    for (const int s : sockets_)
        close(s);
}
