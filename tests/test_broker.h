#pragma once
// Test side of a real RabbitMQ broker on loopback: a queue bound to an
// exchange of the test's own, and a settings record that points the plug-in
// at it.

#include <amqp.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <thread>
#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "settings.h"

struct Delivered {
    std::string body;
    std::string routing_key; // as published (a BCC copy keeps it)
    std::string content_type;
    int delivery_mode = 0;
    std::string message_id;
    std::int64_t timestamp = 0;
    std::optional<std::int64_t> seq; // the "seq" header
    std::string origin, run_id, format; // headers of every message
    std::string entry_uuid, csn;        // headers of change events
    std::optional<bool> replicated;
    bool has_other_properties = false;
};

int broker_port();
// A name no other test process uses.
std::string unique_name(const std::string &prefix);
// Settings for the test broker, publishing to `exchange` with `routing_key`.
dirmirror::Settings broker_config(const std::string &exchange, const std::string &routing_key);

// Declares `exchange` (direct) and an exclusive queue bound to it with
// `routing_key`; the exchange is deleted again by the destructor. With
// `max_length` the queue refuses (nacks) what does not fit. Messages are
// taken off the queue from the first wait_for() on.
class TestQueue {
  public:
    TestQueue(std::string exchange, std::string routing_key, int max_length = 0);
    ~TestQueue();
    TestQueue(const TestQueue &) = delete;
    TestQueue &operator=(const TestQueue &) = delete;

    // Waits until `count` messages have arrived or `timeout` has passed.
    std::vector<Delivered> wait_for(size_t count, std::chrono::milliseconds timeout);
    // Everything that arrives until the queue has been quiet for `quiet`.
    std::vector<Delivered> drain(std::chrono::milliseconds quiet = std::chrono::milliseconds(300));

  private:
    std::string exchange_;
    amqp_connection_state_t conn_;
    amqp_bytes_t queue_name_{};
    bool consuming_ = false;
};

// A listening socket on a free loopback port; throws when there is none.
int listen_on_loopback(int &port);

// A TCP proxy on loopback to the test broker. It can hold back what the
// broker sends (confirms, say), stop reading what clients send (a broker
// that stopped reading), and cut every connection it carries.
class CutProxy {
  public:
    CutProxy();
    ~CutProxy();
    int port() const { return port_; }
    void hold_replies(bool hold) { hold_ = hold; }
    void stall_requests(bool stall) { stall_ = stall; }
    void cut();

  private:
    void pump(int from, int to, bool replies);
    int port_ = 0, listener_ = -1;
    std::atomic<bool> hold_{false}, stall_{false}, closing_{false};
    std::mutex mutex_;
    std::vector<int> sockets_;
    std::vector<std::thread> threads_;
    std::thread acceptor_;
};

// Bodies only.
std::vector<std::string> bodies(const std::vector<Delivered> &messages);
