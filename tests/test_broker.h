#pragma once
// Test side of a real RabbitMQ broker on loopback: a queue bound to an
// exchange of the test's own, and a settings record that points the plug-in
// at it.

#include <amqp.h>

#include <chrono>
#include <string>
#include <vector>

#include "utils.h"

struct Delivered {
    std::string body;
    std::string content_type;
    int delivery_mode = 0;
    bool has_other_properties = false;
};

int broker_port();
// A name no other test process uses.
std::string unique_name(const std::string &prefix);
// Settings for the test broker, publishing to `exchange` with `routing_key`.
ConnectionConfig broker_config(const std::string &exchange, const std::string &routing_key);

// Declares `exchange` (direct) and an exclusive queue bound to it with
// `routing_key`; the exchange is deleted again by the destructor.
class TestQueue {
  public:
    TestQueue(std::string exchange, std::string routing_key);
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
};

// Bodies only.
std::vector<std::string> bodies(const std::vector<Delivered> &messages);
