// TLS to a real RabbitMQ TLS listener (tests/tls_run.sh starts it with
// certificates made by testbed/tls-certs): delivered when everything checks
// out, refused with one line saying why otherwise, and never in clear.
#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <thread>

#include "commit_order.h"
#include "plugin_fixture.h"
#include "publisher.h"

using namespace std::chrono_literals;

extern char **environ;

namespace {

const std::string kFullsync = "{\"op_type\": \"FULLSYNC\"}";

std::string env(const char *name)
{
    const char *value = std::getenv(name);
    return value ? value : "";
}

const std::string kCerts = env("DIRMIRROR_TLS_DIR");
const int kTlsPort = std::atoi(env("DIRMIRROR_TLS_PORT").c_str());
// "required": the broker refuses clients without a certificate.
const bool kPeerCertRequired = env("DIRMIRROR_TLS_PEER_CERT") != "optional";

// A TLS server of openssl's own presenting the expired certificate.
class ExpiredCertServer {
  public:
    ExpiredCertServer() : listener_(listen_on_loopback(port_))
    {
        close(listener_); // free the port for s_server; loopback ports are not reused at once
        const std::string accept = std::to_string(port_);
        const std::string cert = kCerts + "/expired.pem", key = kCerts + "/expired.key";
        const char *argv[] = {"openssl", "s_server", "-quiet", "-accept", accept.c_str(),
                              "-cert", cert.c_str(), "-key", key.c_str(), nullptr};
        if (posix_spawnp(&pid_, "openssl", nullptr, nullptr, const_cast<char **>(argv), environ) != 0)
            throw std::runtime_error("openssl s_server did not start");
        std::this_thread::sleep_for(500ms);
    }
    ~ExpiredCertServer()
    {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
    int port() const { return port_; }

  private:
    int port_ = 0, listener_;
    pid_t pid_ = 0;
};

// Accepts one connection and keeps every byte the client sends.
class Recorder {
  public:
    Recorder() : listener_(listen_on_loopback(port_))
    {
        thread_ = std::thread([this] {
            const int peer = accept(listener_, nullptr, nullptr);
            char buffer[4096];
            timeval quiet{2, 0};
            setsockopt(peer, SOL_SOCKET, SO_RCVTIMEO, &quiet, sizeof quiet);
            for (ssize_t n; (n = recv(peer, buffer, sizeof buffer, 0)) > 0;)
                bytes_.append(buffer, static_cast<size_t>(n));
            close(peer);
        });
    }
    std::string bytes()
    {
        thread_.join();
        close(listener_);
        return bytes_;
    }
    int port() const { return port_; }

  private:
    int port_ = 0, listener_;
    std::string bytes_;
    std::thread thread_;
};

class Tls : public PluginOnTestBroker {
  protected:
    void SetUp() override
    {
        if (kCerts.empty() || kTlsPort == 0)
            GTEST_SKIP() << "run through tests/tls_run.sh, which starts a TLS broker";
        PluginOnTestBroker::SetUp();
        config.tls = true;
        config.verify_hostname = true;
        config.host = "localhost";
        config.port = kTlsPort;
        config.cacert = kCerts + "/ca.pem";
        config.cert = kCerts + "/client.pem";
        config.key = kCerts + "/client.key";
    }
};

} // namespace

TEST_F(Tls, DeliversOverTlsOrRefusesWithOneLineSayingWhy)
{
    struct Case {
        const char *name;
        void (*adjust)(dirmirror::Settings &);
        std::string line; // a part of the one log line; empty: delivered
    };
    const std::vector<Case> cases = {
        {"trusted, with a client certificate", [](dirmirror::Settings &) {}, ""},
        {"without a client certificate",
         [](dirmirror::Settings &c) { c.cert.reset(), c.key.reset(); },
         // Usually followed by ": tlsv13 alert certificate required"; the
         // broker closes right after its alert, and when the close overtakes
         // it the alert, and OpenSSL's reason with it, never arrives.
         kPeerCertRequired ? "amqp_login(...) :: a SSL error occurred" : ""},
        {"an unknown CA", [](dirmirror::Settings &c) { c.cacert = kCerts + "/other-ca.pem"; },
         "Не удалось установить TLS соединение: SSL peer cert verification failed: self-signed "
         "certificate in certificate chain"},
        {"host name not in the certificate", [](dirmirror::Settings &c) { c.host = "127.0.0.1"; },
         "amqp_socket_open(socket, \"127.0.0.1\", " + std::to_string(kTlsPort) +
             ") :: Не удалось установить TLS соединение: SSL hostname verification failed"},
        {"host name not checked",
         [](dirmirror::Settings &c) { c.host = "127.0.0.1", c.verify_hostname = false; }, ""},
        {"a plain AMQP port", [](dirmirror::Settings &c) { c.port = broker_port(); },
         "Не удалось установить TLS соединение: SSL handshake failed: wrong version number"},
        {"no CA file", [](dirmirror::Settings &c) { c.cacert = "/nonexistent/ca.pem"; },
         "amqp_ssl_socket_set_cacert(socket, \"/nonexistent/ca.pem\")"},
    };
    TestQueue queue(exchange, routing_key);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const dirmirror::Settings good = config;
        c.adjust(config);
        fake_log_clear();
        const int result = __send_message(kFullsync.c_str());
        const auto lines = fake_log_lines();
        if (c.line.empty()) {
            EXPECT_EQ(result, 0);
            EXPECT_TRUE(lines.empty());
            EXPECT_EQ(bodies(queue.wait_for(1, 5s)), std::vector<std::string>{kFullsync});
        } else {
            EXPECT_EQ(result, -1);
            ASSERT_EQ(lines.size(), 1u);
            EXPECT_NE(lines[0].text.find(c.line), std::string::npos) << lines[0].text;
        }
        config = good;
    }
    EXPECT_TRUE(queue.drain().empty());
}

TEST_F(Tls, AnExpiredCertificateIsRefused)
{
    ExpiredCertServer server;
    config.port = server.port();
    EXPECT_EQ(__send_message(kFullsync.c_str()), -1);
    const auto lines = fake_log_lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].text.find(":: Не удалось установить TLS соединение: SSL peer cert "
                                 "verification failed: certificate has expired"),
              std::string::npos)
        << lines[0].text;
}

// Whatever the peer, a TLS connection starts with a TLS handshake record:
// neither the AMQP header nor the login ever go out in clear.
TEST_F(Tls, NothingGoesOutInClear)
{
    Recorder peer;
    config.port = peer.port();
    config.password = "s3cret-Pa55";
    EXPECT_EQ(__send_message(kFullsync.c_str()), -1);
    const std::string sent = peer.bytes();
    ASSERT_GE(sent.size(), 5u);
    EXPECT_EQ(sent[0], '\x16') << "a TLS handshake record";
    EXPECT_EQ(sent.find("AMQP"), std::string::npos);
    EXPECT_EQ(sent.find("s3cret-Pa55"), std::string::npos);
    EXPECT_EQ(sent.find("guest"), std::string::npos);
}

// The publisher's own connection: change events in batches over TLS, each
// confirmed by the broker.
TEST_F(Tls, ThePublisherDeliversChangesInOrder)
{
    TestQueue queue(exchange, routing_key);
    dirmirror::Buffer buffer{64u << 20};
    dirmirror::CommitOrder order{buffer};
    dirmirror::Monitor monitor;
    std::atomic<int> owed{0};
    dirmirror::FullsyncDebt debt(owed, &monitor);
    const dirmirror::PublisherTimes times{.reply_wait = 5000ms,
                                          .alive_every = 3600s,
                                          .flush_time = 3000ms};
    dirmirror::Publisher publisher(order, buffer, config, debt, monitor, times);
    std::thread thread([&] { publisher.run(); });
    std::vector<std::string> sent;
    for (int i = 0; i < 300; ++i)
        sent.push_back("{\"dn\":\"uid=u" + std::to_string(i) + ",cn=users\"}\n");
    for (size_t i = 0; i < sent.size(); i += 3)
        order.resolve(order.take(), {sent[i], sent[i + 1], sent[i + 2]});
    auto got = bodies(queue.wait_for(sent.size() + 1, 10s));
    // The first ALIVE goes out once the publisher has caught up.
    EXPECT_EQ(std::erase(got, "{\"op_type\": \"ALIVE\"}"), 1u);
    EXPECT_EQ(got, sent);
    EXPECT_TRUE(publisher.stop(5s));
    thread.join();
    EXPECT_EQ(owed.load(), 0);
    EXPECT_TRUE(fake_log_lines().empty());
}
