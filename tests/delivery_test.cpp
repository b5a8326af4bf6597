// Publishing to a real broker: what arrives, what each failure logs, and the
// FULLSYNC that follows a lost message.
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
#include <thread>

#include "err.h"
#include "plugin_fixture.h"

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
    explicit MuteBroker(bool close_at_once) : listener_(socket(AF_INET, SOCK_STREAM, 0))
    {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (bind(listener_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
            listen(listener_, 1) != 0 ||
            getsockname(listener_, reinterpret_cast<sockaddr *>(&address), &length) != 0)
            throw std::runtime_error("mute broker: no listening socket");
        port_ = ntohs(address.sin_port);
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
    int listener_;
    int accepted_ = -1;
    int port_ = 0;
    std::thread acceptor_;
};

class Delivery : public PluginOnTestBroker {};

TEST(DeliveryState, FullsyncFlagStartsSet)
{
    EXPECT_EQ(fullsync.load(), 1);
}

TEST_F(Delivery, PublishesTheExactBodyAsPersistentPlainText)
{
    TestQueue queue(exchange, routing_key);
    const std::vector<std::string> texts = {
        "{\"dn\":\"uid=u1,cn=users,cn=accounts,dc=lab\",\"op_type\":\"delete\"}\n",
        kAlive,
        kFullsync,
        "{\"dn\":\"cn=Пользователь,cn=users,cn=accounts,dc=lab\",\"op_type\":\"delete\"}\n",
    };
    for (const auto &text : texts) {
        SCOPED_TRACE(text);
        const auto started = Clock::now();
        send_message(text.c_str());
        EXPECT_LT(Clock::now() - started, 2s) << "a delivered message must not wait";
        const auto got = queue.wait_for(1, 5s);
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].body, text);
        EXPECT_EQ(got[0].content_type, "text/plain");
        EXPECT_EQ(got[0].delivery_mode, 2);
        EXPECT_FALSE(got[0].has_other_properties);
    }
    EXPECT_TRUE(queue.drain().empty());
    EXPECT_EQ(fullsync.load(), 0) << "the delivered FULLSYNC clears the flag";
    EXPECT_TRUE(fake_log_lines().empty());
}

TEST_F(Delivery, EachFailedAttemptLogsOneLineAndSetsTheFlag)
{
    struct Case {
        const char *name;
        void (*spoil)(ConnectionConfig &);
        std::string expected_line; // the whole line, or its start when it ends with '*'
    };
    const std::vector<Case> cases = {
        {"nothing listening", [](ConnectionConfig &c) { c.port = 1; },
         "amqp_socket_open(socket, \"127.0.0.1\", 1) :: Не удалось открыть TCP сокет\n"},
        {"unknown host", [](ConnectionConfig &c) { std::strcpy(c.host, "<unset>"); },
         "amqp_socket_open(socket, \"<unset>\", *"},
        {"wrong password", [](ConnectionConfig &c) { std::strcpy(c.password, "wrong"); },
         "amqp_login(...) :: Ошибка подключения к серверу 403h, message: ACCESS_REFUSED*"},
        {"unknown virtual host", [](ConnectionConfig &c) { std::strcpy(c.vhost, "no-such-vhost"); },
         "amqp_login(...) :: Ошибка подключения к серверу 530h, message: NOT_ALLOWED*"},
        {"missing exchange", [](ConnectionConfig &c) { std::strcpy(c.exchange, "no-such-exchange"); },
         "amqp_channel_close(conn, 1, AMQP_REPLY_SUCCESS) :: Шибка канала сервера 404h, message: "
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

// The broker refuses the publish (no exchange yet) until the test creates the
// exchange; the caller keeps sending FULLSYNC every 5 s until one lands.
TEST_F(Delivery, AfterAFailureFullsyncIsRetriedEveryFiveSecondsUntilDelivered)
{
    const std::string event = "{\"dn\":\"uid=lost,cn=users,cn=accounts,dc=lab\",\"op_type\":\"delete\"}\n";
    const auto started = Clock::now();
    auto caller = std::async(std::launch::async, [&] {
        send_message(event.c_str());
        return Clock::now();
    });
    std::this_thread::sleep_for(6500ms);
    ASSERT_EQ(caller.wait_for(0s), std::future_status::timeout) << "returned before any FULLSYNC";
    TestQueue queue(exchange, routing_key);
    const auto got = queue.wait_for(1, 8s);
    const auto delivered_at = Clock::now();
    ASSERT_EQ(bodies(got), std::vector<std::string>{kFullsync}) << "the lost event is never sent";
    const auto returned_at = caller.get();
    EXPECT_GE(returned_at - delivered_at, 4s) << "the pause follows the delivered FULLSYNC too";
    EXPECT_EQ(fullsync.load(), 0);

    const auto failures = fake_log_matching("NOT_FOUND - no exchange");
    ASSERT_EQ(failures.size(), 3u) << "the event, then FULLSYNC at 0 s and 5 s";
    EXPECT_LT(failures[1].at - failures[0].at, 1s);
    EXPECT_NEAR(std::chrono::duration<double>(failures[2].at - failures[1].at).count(), 5.0, 0.5);
    EXPECT_LT(returned_at - started, 17s);
    EXPECT_TRUE(queue.drain().empty());
}

// A message that gets through while a FULLSYNC is owed must not cancel it.
TEST_F(Delivery, AnEventDeliveredDuringTheLoopDoesNotEndIt)
{
    auto first = std::async(std::launch::async, [] {
        send_message("{\"dn\":\"uid=lost,cn=users,cn=accounts,dc=lab\",\"op_type\":\"delete\"}\n");
    });
    std::this_thread::sleep_for(1s);
    TestQueue queue(exchange, routing_key);
    const std::string later = "{\"dn\":\"uid=later,cn=users,cn=accounts,dc=lab\",\"op_type\":\"delete\"}\n";
    send_message(later.c_str());
    EXPECT_EQ(fullsync.load(), 1);
    first.get();
    EXPECT_EQ(bodies(queue.drain()), (std::vector<std::string>{later, kFullsync}));
    EXPECT_EQ(fullsync.load(), 0);
}

// While one caller runs the FULLSYNC loop, another failing caller does not
// start a second one: it drops its message and returns.
TEST_F(Delivery, ASecondFailingCallerReturnsAtOnce)
{
    auto first = std::async(std::launch::async, [] { send_message("{\"first\":1}\n"); });
    std::this_thread::sleep_for(1s);
    const auto started = Clock::now();
    send_message("{\"second\":1}\n");
    EXPECT_LT(Clock::now() - started, 1s);
    std::this_thread::sleep_for(4600ms); // the loop's second FULLSYNC attempt
    TestQueue queue(exchange, routing_key);
    first.get();
    EXPECT_EQ(bodies(queue.drain()), std::vector<std::string>{kFullsync});
    // Two failed messages and the loop's attempts at 0 s and 5 s; no second loop.
    EXPECT_EQ(fake_log_matching("NOT_FOUND - no exchange").size(), 4u);
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
