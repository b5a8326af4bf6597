// Publishing to a real broker: what arrives and with which properties, what
// each failure logs, and what a lost connection, a refusal or a broker that
// stops reading do to what was not yet confirmed.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <future>
#include <optional>
#include <map>
#include <set>
#include <thread>

#include "plugin_fixture.h"
#include "publisher.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

const std::string kFullsync = "{\"op_type\": \"FULLSYNC\"}";
const std::string kAlive = "{\"op_type\": \"ALIVE\"}";

std::atomic<bool> refuse_new_connections{false};

} // namespace

// Lets a test make the client library fail to create a connection object.
extern "C" amqp_connection_state_t amqp_new_connection(void)
{
    using Create = amqp_connection_state_t (*)();
    static const auto real = reinterpret_cast<Create>(dlsym(RTLD_NEXT, "amqp_new_connection"));
    return refuse_new_connections ? nullptr : real();
}

// A TCP peer on loopback that accepts one connection and then either closes
// it at once or keeps it open without ever saying a word.
class MuteBroker {
  public:
    explicit MuteBroker(bool close_at_once) : listener_(listen_on_loopback(port_))
    {
        acceptor_ = std::thread([this, close_at_once] {
            accepted_ = accept(listener_, nullptr, nullptr);
            if (close_at_once)
                close(accepted_);
        });
    }
    ~MuteBroker()
    {
        shutdown(listener_, SHUT_RDWR);
        acceptor_.join();
        close(listener_);
        if (accepted_ >= 0)
            close(accepted_);
    }
    int port() const { return port_; }

  private:
    int port_ = 0;
    int listener_;
    int accepted_ = -1;
    std::thread acceptor_;
};

class Delivery : public PluginOnTestBroker {};

TEST(DeliveryState, FullsyncFlagStartsSet)
{
    EXPECT_EQ(fullsync.load(), 1);
}

TEST_F(Delivery, EachFailedAttemptLogsOneLineAndSetsTheFlag)
{
    struct Case {
        const char *name;
        void (*spoil)(dirmirror::Settings &);
        std::string expected_line; // the whole line, or its start when it ends with '*'
    };
    const std::vector<Case> cases = {
        {"nothing listening", [](dirmirror::Settings &c) { c.port = 1; },
         "amqp_socket_open(socket, \"127.0.0.1\", 1) :: Не удалось открыть TCP сокет\n"},
        {"unknown host", [](dirmirror::Settings &c) { c.host = "no-such-host.invalid"; },
         "amqp_socket_open(socket, \"no-such-host.invalid\", *"},
        {"wrong password", [](dirmirror::Settings &c) { c.password = "wrong"; },
         "amqp_login(...) :: Ошибка подключения к серверу 403h, message: ACCESS_REFUSED*"},
        {"unknown virtual host", [](dirmirror::Settings &c) { c.vhost = "no-such-vhost"; },
         "amqp_login(...) :: Ошибка подключения к серверу 530h, message: NOT_ALLOWED*"},
        {"missing exchange", [](dirmirror::Settings &c) { c.exchange = "no-such-exchange"; },
         "amqp_simple_wait_frame_noblock(conn) :: Шибка канала сервера 404h, message: "
         "NOT_FOUND - no exchange 'no-such-exchange' in vhost '/'\n"},
    };
    TestQueue queue(exchange, routing_key);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        config = broker_config(exchange, routing_key);
        c.spoil(config);
        fake_log_clear();
        fullsync = 0;
        EXPECT_EQ(__send_message("{\"dn\":\"x\",\"op_type\":\"delete\"}\n"), -1);
        EXPECT_EQ(fullsync.load(), 1);
        const auto lines = fake_log_lines();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].level, 0);
        EXPECT_EQ(lines[0].subsystem, "send_message");
        EXPECT_EQ(lines[0].text.find(config.password), std::string::npos) << "never the password";
        if (c.expected_line.back() == '*')
            EXPECT_EQ(lines[0].text.rfind(c.expected_line.substr(0, c.expected_line.size() - 1), 0), 0u)
                << lines[0].text;
        else
            EXPECT_EQ(lines[0].text, c.expected_line);
    }
    EXPECT_TRUE(queue.drain().empty());
}

// A peer that is not a working broker costs an attempt at most the login's
// time limit, never a thread for good.
TEST_F(Delivery, APeerThatClosesOrNeverAnswersFailsTheAttemptInTime)
{
    struct Case {
        const char *name;
        bool close_at_once;
        std::chrono::seconds at_most;
    };
    for (const auto &c : {Case{"closes at once", true, 2s}, Case{"never answers", false, 14s}}) {
        SCOPED_TRACE(c.name);
        MuteBroker peer(c.close_at_once);
        config.port = peer.port();
        fake_log_clear();
        const auto started = Clock::now();
        EXPECT_EQ(__send_message(kAlive.c_str()), -1);
        EXPECT_LT(Clock::now() - started, c.at_most);
        EXPECT_EQ(fullsync.load(), 1);
        const auto lines = fake_log_lines();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].text.rfind("amqp_login(...) :: ", 0), 0u) << lines[0].text;
    }
}

TEST_F(Delivery, NoConnectionObjectIsAFailedAttempt)
{
    fullsync = 0;
    refuse_new_connections = true;
    EXPECT_EQ(__send_message(kAlive.c_str()), -1);
    refuse_new_connections = false;
    EXPECT_EQ(fullsync.load(), 1);
    const auto lines = fake_log_lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].subsystem, "send_message");
    EXPECT_EQ(lines[0].text, "amqp_new_connection() :: Не удалось создать соединение\n");
}

TEST_F(Delivery, OnlyADeliveredFullsyncClearsTheFlag)
{
    TestQueue queue(exchange, routing_key);
    fullsync = 1;
    EXPECT_EQ(__send_message(kAlive.c_str()), 0);
    EXPECT_EQ(__send_message("{\"dn\":\"x\",\"op_type\":\"delete\"}\n"), 0);
    EXPECT_EQ(fullsync.load(), 1);
    EXPECT_EQ(__send_message(kFullsync.c_str()), 0);
    EXPECT_EQ(fullsync.load(), 0);
    EXPECT_EQ(queue.wait_for(3, 5s).size(), 3u);
}

// A publisher thread on the test broker, with short pauses.
class Publishing : public PluginOnTestBroker {
  protected:
    void start(int owed = 0)
    {
        owed_flag = owed;
        publisher.emplace(order, buffer, config, debt, monitor, times,
                          dirmirror::Identity{"ldap1.lab:3389", "run-1"});
        thread = std::thread([this] { publisher->run(); });
    }
    bool stop(std::chrono::milliseconds wait = 5s)
    {
        const bool finished = publisher->stop(wait);
        if (thread.joinable())
            finished ? thread.join() : thread.detach();
        return finished;
    }
    void TearDown() override
    {
        if (publisher)
            stop();
        PluginOnTestBroker::TearDown();
    }
    // Hands over one operation's events under a fresh ticket.
    void commit(const std::vector<std::string> &events)
    {
        order.resolve(order.take(), {events.begin(), events.end()});
    }

    dirmirror::Buffer buffer{64u << 20};
    dirmirror::CommitOrder order{buffer};
    dirmirror::Monitor monitor;
    std::atomic<int> owed_flag{0};
    dirmirror::FullsyncDebt debt{owed_flag, &monitor};
    dirmirror::PublisherTimes times{.reply_wait = 5000ms,
                                    .alive_every = 3600s,
                                    .flush_time = 1000ms};
    std::optional<dirmirror::Publisher> publisher;
    std::thread thread;
};

std::string change(const std::string &name)
{
    return "{\"dn\":\"uid=" + name + ",cn=users,cn=accounts,dc=lab\",\"op_type\":\"delete\"}\n";
}

TEST_F(Publishing, PublishesInCommitOrderWithConfirmsAndProperties)
{
    TestQueue queue(exchange, routing_key);
    start();
    auto got = queue.wait_for(1, 5s);
    const auto first = order.take(), second = order.take(), third = order.take();
    order.resolve(third, {change("c")});
    order.resolve(first, {change("a0"), change("a1")});
    order.append_control("{\"op_type\": \"SOMETHING\"}");
    order.resolve(second, {change("b")});
    const auto rest = queue.wait_for(5, 5s);
    got.insert(got.end(), rest.begin(), rest.end());
    // The control message comes after every place taken before it.
    EXPECT_EQ(bodies(got), (std::vector<std::string>{kAlive, change("a0"), change("a1"),
                                                     change("b"), change("c"),
                                                     "{\"op_type\": \"SOMETHING\"}"}));
    std::set<std::string> ids;
    std::vector<std::int64_t> seqs;
    for (const auto &m : got) {
        SCOPED_TRACE(m.body);
        EXPECT_EQ(m.content_type, "text/plain");
        EXPECT_EQ(m.delivery_mode, 2);
        EXPECT_FALSE(m.has_other_properties);
        EXPECT_FALSE(m.message_id.empty());
        ids.insert(m.message_id);
        EXPECT_NEAR(static_cast<double>(m.timestamp), static_cast<double>(std::time(nullptr)), 5.0);
        const bool control = m.body.rfind("{\"op_type\": ", 0) == 0;
        EXPECT_EQ(m.seq.has_value(), !control);
        // Every message names its source, control messages too.
        EXPECT_EQ(m.origin + " " + m.run_id + " " + m.format, "ldap1.lab:3389 run-1 1.0.0");
        if (m.seq)
            seqs.push_back(*m.seq);
    }
    EXPECT_EQ(ids.size(), got.size()) << "message ids are unique";
    EXPECT_EQ(seqs, (std::vector<std::int64_t>{1, 2, 3, 4}));
    EXPECT_TRUE(stop());
    EXPECT_TRUE(queue.drain().empty());
    EXPECT_EQ(owed_flag.load(), 0);
    EXPECT_TRUE(fake_log_lines().empty());
}

// Change events as they arrived: their bodies in order, each message_id
// once (a replay may bring a copy), and FULLSYNC or ALIVE as they came.
std::vector<std::string> without_copies(const std::vector<Delivered> &got)
{
    std::vector<std::string> out;
    std::set<std::string> seen;
    for (const auto &m : got)
        if (m.body != kAlive && seen.insert(m.message_id).second)
            out.push_back(m.body);
    return out;
}

// The queue takes three messages and refuses (nacks) the rest, the first
// ALIVE among them, until the test starts reading it. What the broker refuses goes out again on a fresh
// connection; only what it keeps refusing past the limit is a loss, which a
// FULLSYNC then covers, before any later event.
TEST_F(Publishing, ARefusedEventGoesOutAgainAndOnlyAPersistentRefusalIsALoss)
{
    struct Case {
        const char *name;
        std::chrono::milliseconds refusal_limit;
        std::vector<std::string> expected;
    };
    const std::vector<Case> cases = {
        {"refused for a while", 30s,
         {change("kept1"), change("kept2"), change("kept3"), change("refused1"), change("refused2"),
          change("after")}},
        {"refused past the limit", 500ms,
         {change("kept1"), change("kept2"), change("kept3"), kFullsync, change("after")}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        TestQueue queue(exchange, routing_key, 3);
        times.refusal_limit = c.refusal_limit;
        commit({change("kept1"), change("kept2"), change("kept3")});
        commit({change("refused1")});
        commit({change("refused2")});
        start();
        std::this_thread::sleep_for(2500ms); // refused meanwhile
        auto got = queue.wait_for(3, 5s);
        commit({change("after")});
        const auto rest = queue.drain(1500ms);
        got.insert(got.end(), rest.begin(), rest.end());
        auto published = without_copies(got);
        // refused2's own refusal may begin only once refused1 is gone: it
        // may be published then, after the FULLSYNC.
        if (c.refusal_limit < 30s)
            std::erase(published, change("refused2"));
        EXPECT_EQ(published, c.expected);
        EXPECT_GE(fake_log_matching("Брокер отклонил сообщение (basic.nack)").size(), 1u);
        EXPECT_TRUE(stop());
        publisher.reset();
        fake_log_clear();
    }
}

// The broker closes the channel over a message (here: the exchange is
// missing): it goes out again on fresh connections, and once it has been
// refused past the limit it is a loss, named in one line, with a FULLSYNC in
// its place; the stream goes on.
TEST_F(Publishing, AMessageTheBrokerClosesTheChannelOverIsALossOnlyPastTheLimit)
{
    times.refusal_limit = 1500ms;
    commit({change("refused")});
    start();
    std::this_thread::sleep_for(2500ms);
    TestQueue queue(exchange, routing_key); // the exchange at last
    commit({change("after")});
    auto got = queue.wait_for(3, 8s);
    std::erase_if(got, [](const Delivered &m) { return m.body == kAlive; });
    EXPECT_EQ(without_copies(got), (std::vector<std::string>{kFullsync, change("after")}));
    EXPECT_EQ(fake_log_matching("(первое — о uid=refused,cn=users,cn=accounts,dc=lab, ").size(), 1u);
    EXPECT_EQ(monitor.events_dropped.load(), 1u);
}

// Confirms are held back, then the connection is cut: the events in flight
// go out again on the next connection, first, with their message_id and seq,
// and no FULLSYNC is owed.
TEST_F(Publishing, WhatALostConnectionLeftUnconfirmedIsReplayed)
{
    CutProxy proxy;
    config.port = proxy.port();
    TestQueue queue(exchange, routing_key);
    start();
    ASSERT_EQ(bodies(queue.wait_for(1, 5s)), std::vector<std::string>{kAlive});
    proxy.hold_replies(true);
    commit({change("in-flight1"), change("in-flight2")});
    std::this_thread::sleep_for(500ms);
    proxy.cut();
    proxy.hold_replies(false);
    commit({change("after")});
    const auto got = queue.drain(1500ms);
    EXPECT_EQ(without_copies(got),
              (std::vector<std::string>{change("in-flight1"), change("in-flight2"), change("after")}));
    std::map<std::string, std::set<std::int64_t>> seqs; // by message_id: one each
    for (const auto &m : got)
        if (m.seq)
            seqs[m.message_id].insert(*m.seq);
    EXPECT_EQ(seqs.size(), 3u);
    for (const auto &[id, seq] : seqs)
        EXPECT_EQ(seq.size(), 1u) << id;
    EXPECT_EQ(owed_flag.load(), 0);
    EXPECT_GE(monitor.events_replayed.load(), 2u);
    EXPECT_FALSE(fake_log_matching("amqp_simple_wait_frame_noblock(conn) :: ").empty());
}

// RABBIT_HOST lists a node that goes away and a working one: the publisher
// moves on and replays there what the lost node did not confirm.
TEST_F(Publishing, MovesToTheNextNodeAndReplaysThere)
{
    auto proxy = std::make_unique<CutProxy>();
    config.host = "127.0.0.1:" + std::to_string(proxy->port()) + ",127.0.0.1";
    TestQueue queue(exchange, routing_key);
    start();
    ASSERT_EQ(bodies(queue.wait_for(1, 5s)), std::vector<std::string>{kAlive});
    proxy->hold_replies(true);
    commit({change("in-flight")});
    std::this_thread::sleep_for(300ms);
    proxy.reset(); // the node is gone: its port refuses from now on
    commit({change("after")});
    EXPECT_EQ(without_copies(queue.drain(1500ms)),
              (std::vector<std::string>{change("in-flight"), change("after")}));
    EXPECT_EQ(owed_flag.load(), 0);
}

// A broker that stops reading holds a write forever: the watchdog shuts the
// socket down, and what was not confirmed goes out again once it reads.
TEST_F(Publishing, AWriteThatMakesNoProgressIsCutAndReplayed)
{
    CutProxy proxy;
    config.port = proxy.port();
    TestQueue queue(exchange, routing_key);
    times.stuck_write = 1s;
    start();
    ASSERT_EQ(bodies(queue.wait_for(1, 5s)), std::vector<std::string>{kAlive});
    proxy.stall_requests(true);
    std::vector<std::string> big;
    for (int i = 0; i < 24; ++i)
        big.push_back(change(std::to_string(i) + std::string(1 << 20, 'x')));
    for (const auto &event : big)
        commit({event});
    for (int i = 0; i < 100 && fake_log_matching("Запись брокеру не продвигается").empty(); ++i)
        std::this_thread::sleep_for(50ms);
    EXPECT_EQ(fake_log_matching("Запись брокеру не продвигается").size(), 1u);
    proxy.stall_requests(false);
    // Each event by its place in `big`, to keep a failure readable.
    std::vector<long> places, expected;
    auto got = queue.wait_for(big.size(), 30s);
    const auto copies = queue.drain(1500ms); // replayed, so some came twice
    got.insert(got.end(), copies.begin(), copies.end());
    for (const auto &body : without_copies(got))
        places.push_back(std::find(big.begin(), big.end(), body) - big.begin());
    for (long i = 0; i < static_cast<long>(big.size()); ++i)
        expected.push_back(i);
    EXPECT_EQ(places, expected);
    EXPECT_EQ(owed_flag.load(), 0);
}

// Asked to stop, the publisher never waits for a broker that is gone or mute
// longer than it was given.
TEST_F(Publishing, StopsInTimeWhenTheBrokerIsDownOrMute)
{
    struct Case {
        const char *name;
        std::optional<bool> mute_peer; // nullopt: nothing listens
    };
    for (const auto &c : {Case{"nothing listens", std::nullopt}, Case{"never answers", false}}) {
        SCOPED_TRACE(c.name);
        std::optional<MuteBroker> peer;
        if (c.mute_peer)
            peer.emplace(*c.mute_peer);
        config.port = peer ? peer->port() : 1;
        start();
        commit({change("pending")});
        std::this_thread::sleep_for(300ms);
        const auto asked = Clock::now();
        EXPECT_TRUE(stop(2s));
        EXPECT_LT(Clock::now() - asked, 3500ms);
        publisher.reset();
    }
}

TEST(ReplyCheck, LogsEachKindOfFailureOnce)
{
    char text[] = "ACCESS_REFUSED - Login was refusedTRAILING";
    amqp_connection_close_t connection_close{};
    connection_close.reply_code = 403;
    connection_close.reply_text = {34, text};
    amqp_channel_close_t channel_close{};
    channel_close.reply_code = 404;
    channel_close.reply_text = {9, text + 17};

    auto reply = [](amqp_response_type_enum type, amqp_method_number_t id = 0, void *decoded = nullptr,
                    int library_error = 0) {
        amqp_rpc_reply_t r{};
        r.reply_type = type;
        r.reply.id = id;
        r.reply.decoded = decoded;
        r.library_error = library_error;
        return r;
    };
    struct Case {
        const char *name;
        amqp_rpc_reply_t reply;
        int result;
        std::string line; // empty: nothing logged
    };
    const std::vector<Case> cases = {
        {"normal", reply(AMQP_RESPONSE_NORMAL), 0, ""},
        {"none", reply(AMQP_RESPONSE_NONE), -1, "ctx :: Отсутствет тип ответа RPC\n"},
        {"library", reply(AMQP_RESPONSE_LIBRARY_EXCEPTION, 0, nullptr, AMQP_STATUS_SOCKET_ERROR), -1,
         std::string("ctx :: ") + amqp_error_string2(AMQP_STATUS_SOCKET_ERROR) + "\n"},
        {"connection close",
         reply(AMQP_RESPONSE_SERVER_EXCEPTION, AMQP_CONNECTION_CLOSE_METHOD, &connection_close), -1,
         "ctx :: Ошибка подключения к серверу 403h, message: ACCESS_REFUSED - Login was refused\n"},
        {"channel close", reply(AMQP_RESPONSE_SERVER_EXCEPTION, AMQP_CHANNEL_CLOSE_METHOD, &channel_close),
         -1, "ctx :: Шибка канала сервера 404h, message: Login was\n"},
        {"other method", reply(AMQP_RESPONSE_SERVER_EXCEPTION, 0x003C0028, nullptr), -1,
         "ctx :: Неизвестная ошибка сервера, method id 0x003C0028\n"},
#ifndef DIRMIRROR_UBSAN // 7 lies outside the enumeration's values: UBSan stops on the load
        {"unknown reply type", reply(static_cast<amqp_response_type_enum>(7)), 0, ""},
#endif
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        fake_log_clear();
        EXPECT_EQ(die_on_amqp_error("send_message", "ctx", c.reply), c.result);
        const auto lines = fake_log_lines();
        if (c.line.empty()) {
            EXPECT_TRUE(lines.empty());
            continue;
        }
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].level, 0);
        EXPECT_EQ(lines[0].subsystem, "send_message");
        EXPECT_EQ(lines[0].text, c.line);
    }
}
