#pragma once
// A test whose plug-in publishes to an exchange and routing key of its own on
// the test broker, with the fake host's log emptied.

#include <gtest/gtest.h>

#include "fake_host.h"
#include "exports.h"
#include "test_broker.h"

class PluginOnTestBroker : public ::testing::Test {
  protected:
    void SetUp() override
    {
        exchange = unique_name("dirmirror.test");
        routing_key = unique_name("events");
        config = broker_config(exchange, routing_key);
        connection_config = &config;
        fake_log_clear();
    }
    void TearDown() override { connection_config = nullptr; }

    std::string exchange, routing_key;
    dirmirror::Settings config;
};
