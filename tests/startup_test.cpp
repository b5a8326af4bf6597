// Start-up as the directory server drives it: settings and registration at
// init, the publisher and the first FULLSYNC at start, and the close, with
// the host failing calls on demand.
#include <gtest/gtest.h>

#include <dirent.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <future>
#include <thread>

#include "fake_host.h"
#include "exports.h"
#include "handlers.h"
#include "lifecycle.h"
#include "transactions.h"
#include "test_broker.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

const std::string kFullsync = "{\"op_type\": \"FULLSYNC\"}";
const std::string kAlive = "{\"op_type\": \"ALIVE\"}";
const std::string kStartLine = "Инициализациия плагина\n";
// At every start: the password-equivalent attributes no setting names.
const std::string kSecretsLine =
    "Значения атрибутов-секретов не публикуются (PUBLISH_SECRETS=off): krbPrincipalKey, "
    "krbPwdHistory, krbMKey, ipaNTHash, sambaNTPassword, sambaLMPassword, sambaPasswordHistory, "
    "passwordHistory, userPKCS12, ipatokenOTPkey, ipaSecretKey\n";

int thread_count()
{
    int count = 0;
    if (DIR *dir = opendir("/proc/self/task")) {
        while (const dirent *e = readdir(dir))
            count += e->d_name[0] != '.';
        closedir(dir);
    }
    return count;
}

/* The thread count once it is down to `expected`, or after 2 s: a joined
 * thread may still be listed for a moment while the kernel finishes it. */
int thread_count_settling_at(int expected)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    int count = thread_count();
    while (count != expected && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        count = thread_count();
    }
    return count;
}

std::vector<std::string> texts(const std::vector<LogLine> &lines)
{
    std::vector<std::string> out;
    for (const auto &l : lines)
        out.push_back(l.text);
    return out;
}

class Startup : public ::testing::Test {
  protected:
    void SetUp() override
    {
#ifdef __SANITIZE_THREAD__
        // ThreadSanitizer starts a helper thread of its own with the first
        // thread the process creates; one started here keeps it out of the counts.
        std::thread([] {}).join();
#endif
        fake_log_clear();
        fake_registered_plugins_clear();
        char dir_template[] = "/tmp/dirmirror-startup-XXXXXX";
        dir = mkdtemp(dir_template);
        settings_path = dir + "/dirmirror.env";
        exchange = unique_name("dirmirror.test");
        routing_key = unique_name("events");
        pb.ptrs[SLAPI_PLUGIN_IDENTITY] = &identity;
    }
    void write_settings(const std::string &exchange_name, const std::string &more = "",
                        int port = broker_port())
    {
        std::ofstream(settings_path) << "# test broker\n"
                                     << "RABBIT_HOST=127.0.0.1\nRABBIT_PORT=" << port
                                     << "\nRABBIT_VHOST=/\nRABBIT_EXCHANGE=" << exchange_name
                                     << "\nRABBIT_ROUTINGKEY=" << routing_key
                                     << "\nRABBIT_USERNAME=guest\nRABBIT_PASSWORD=guest\n"
                                     << more;
        chmod(settings_path.c_str(), 0600);
        path_to_config = settings_path.c_str();
    }

    std::string dir, settings_path, exchange, routing_key;
    int identity = 0;
    slapi_pblock pb;
};

const std::vector<int> kRegistrationOrder = {SLAPI_PLUGIN_VERSION, SLAPI_PLUGIN_DESCRIPTION,
                                             SLAPI_PLUGIN_POST_BIND_FN, SLAPI_PLUGIN_START_FN,
                                             SLAPI_PLUGIN_CLOSE_FN};

// What the server does once it runs as a daemon, and when it stops: call the
// registered start or close function.
void call_slot(slapi_pblock &pb, int slot)
{
    ASSERT_TRUE(pb.ptrs.count(slot));
    const auto function = reinterpret_cast<int (*)(Slapi_PBlock *)>(pb.ptrs[slot]);
    EXPECT_EQ(function(&pb), 0);
}
void start_plugin(slapi_pblock &pb) { call_slot(pb, SLAPI_PLUGIN_START_FN); }
void close_plugin(slapi_pblock &pb) { call_slot(pb, SLAPI_PLUGIN_CLOSE_FN); }

} // namespace

TEST_F(Startup, ReadsOnlyTheFixedSettingsPathByDefault)
{
    EXPECT_STREQ(path_to_config, "/etc/quorvel/dirmirror.env");
}

TEST_F(Startup, MissingSettingsFileFailsBeforeAnythingIsSent)
{
    path_to_config = "/nonexistent/dirmirror.env";
    TestQueue queue(exchange, routing_key);
    const int threads = thread_count();
    EXPECT_EQ(get_entry_rodide_init(&pb), -1);
    EXPECT_EQ(texts(fake_log_lines()),
              (std::vector<std::string>{
                  kStartLine,
                  "fopen(\"/nonexistent/dirmirror.env\") :: Не удалось открыть файл конфигурации\n",
                  "Не удалось инициализировать конфигурацию для подключения к RabbitMQ\n"}));
    EXPECT_EQ(fake_log_lines()[1].subsystem, "initial_config");
    EXPECT_EQ(fake_log_lines()[2].subsystem, "get_entry_rodide_init");
    EXPECT_TRUE(pb.set_order.empty());
    EXPECT_EQ(thread_count(), threads);
    EXPECT_TRUE(queue.drain().empty());
}

TEST_F(Startup, MissingIdentityFails)
{
    pb.ptrs.erase(SLAPI_PLUGIN_IDENTITY);
    EXPECT_EQ(get_entry_rodide_init(&pb), -1);
    EXPECT_EQ(texts(fake_log_lines()),
              (std::vector<std::string>{kStartLine, "Не удалось получить SLAPI_PLUGIN_IDENTITY\n"}));
    EXPECT_TRUE(pb.set_order.empty());
}

TEST_F(Startup, RegistersThenStartsWithAFullsyncAndRunsThePublisherUntilClose)
{
    write_settings(exchange, "WAIT_FOR_BROKER_AT_START=on\n");
    TestQueue queue(exchange, routing_key);
    const int threads = thread_count();
    ASSERT_EQ(get_entry_rodide_init(&pb), 0);
    EXPECT_EQ(thread_count(), threads) << "no thread before the server has forked";
    EXPECT_TRUE(queue.drain(300ms).empty()) << "nothing sent before the start function";

    start_plugin(pb);
    EXPECT_EQ(fullsync.load(), 0) << "the start function returns once the FULLSYNC is confirmed";
    start_plugin(pb);
    EXPECT_EQ(thread_count(), threads + 2)
        << "one publisher thread and its watchdog, however often started";
    const auto first = queue.wait_for(2, 5s);
    const auto first_alive_at = Clock::now();
    EXPECT_EQ(bodies(first), (std::vector<std::string>{kFullsync, kAlive}));

    EXPECT_EQ(pb.set_order, kRegistrationOrder);
    EXPECT_STREQ(static_cast<const char *>(pb.ptrs[SLAPI_PLUGIN_VERSION]), "01");
    const auto *desc = static_cast<const Slapi_PluginDesc *>(pb.ptrs[SLAPI_PLUGIN_DESCRIPTION]);
    ASSERT_EQ(desc, &ldap_passing_data);
    EXPECT_STREQ(desc->spd_id, "virizizoroza");
    EXPECT_STREQ(desc->spd_vendor, "Velmorandi");
    EXPECT_STREQ(desc->spd_version, "0.1");
    EXPECT_STREQ(desc->spd_description, "passing data from LDAP to RabbitMQ");
    // Beside it: a be-txn pre-operation plug-in that marks each write's
    // transaction before any other plug-in works in it, a be-txn
    // post-operation one that captures its events after all others, a
    // be-post-operation one that hands them over first thing after the
    // commit, and pre-operation ones that mark binds and end a mark a bind
    // left behind.
    using Slots = std::vector<std::pair<int, void *>>;
    auto fn = [](auto function) { return reinterpret_cast<void *>(function); };
    const struct {
        const char *type;
        int precedence;
        Slots slots;
    } companions[] = {
        {"betxnpreoperation", 1,
         {{SLAPI_PLUGIN_BE_TXN_PRE_ADD_FN, fn(dirmirror::begin_transaction)},
          {SLAPI_PLUGIN_BE_TXN_PRE_MODIFY_FN, fn(dirmirror::begin_transaction)},
          {SLAPI_PLUGIN_BE_TXN_PRE_DELETE_FN, fn(dirmirror::begin_transaction)},
          {SLAPI_PLUGIN_BE_TXN_PRE_MODRDN_FN, fn(dirmirror::begin_transaction)}}},
        {"betxnpostoperation", 99,
         {{SLAPI_PLUGIN_BE_TXN_POST_ADD_FN, fn(get_entry_rodide_add)},
          {SLAPI_PLUGIN_BE_TXN_POST_MODIFY_FN, fn(get_entry_rodide_modify)},
          {SLAPI_PLUGIN_BE_TXN_POST_DELETE_FN, fn(get_entry_rodide_delete)},
          {SLAPI_PLUGIN_BE_TXN_POST_MODRDN_FN, fn(dirmirror::capture_rename)}}},
        {"bepostoperation", 1,
         {{SLAPI_PLUGIN_BE_POST_ADD_FN, fn(dirmirror::hand_over)},
          {SLAPI_PLUGIN_BE_POST_MODIFY_FN, fn(dirmirror::hand_over)},
          {SLAPI_PLUGIN_BE_POST_DELETE_FN, fn(dirmirror::hand_over)},
          {SLAPI_PLUGIN_BE_POST_MODRDN_FN, fn(dirmirror::hand_over)}}},
        {"preoperation", 50,
         {{SLAPI_PLUGIN_PRE_BIND_FN, fn(dirmirror::begin_bind)},
          {SLAPI_PLUGIN_PRE_SEARCH_FN, fn(dirmirror::end_bind)},
          {SLAPI_PLUGIN_PRE_COMPARE_FN, fn(dirmirror::end_bind)}}},
        {"preextendedop", 50, {{SLAPI_PLUGIN_PRE_EXTOP_FN, fn(dirmirror::end_bind)}}},
    };
    EXPECT_EQ(pb.ptrs[SLAPI_PLUGIN_POST_BIND_FN], fn(dirmirror::end_bind));
    const auto plugins = fake_registered_plugins();
    ASSERT_EQ(plugins.size(), std::size(companions));
    for (size_t i = 0; i < plugins.size(); ++i) {
        SCOPED_TRACE(companions[i].type);
        EXPECT_EQ(plugins[i].type, companions[i].type);
        EXPECT_EQ(plugins[i].precedence, companions[i].precedence);
        for (const auto &[slot, function] : companions[i].slots)
            EXPECT_EQ(plugins[i].pb->ptrs[slot], function);
    }
    EXPECT_EQ(texts(fake_log_lines()), (std::vector<std::string>{kStartLine, kSecretsLine}));
    EXPECT_EQ(fake_log_lines()[0].subsystem, "get_entry_rodide_init");
    EXPECT_EQ(fake_log_lines()[0].level, 0);

    const auto next = queue.wait_for(1, 35s);
    EXPECT_EQ(bodies(next), std::vector<std::string>{kAlive});
    EXPECT_NEAR(std::chrono::duration<double>(Clock::now() - first_alive_at).count(), 30.0, 1.0);

    const auto closing = Clock::now();
    close_plugin(pb);
    EXPECT_LT(Clock::now() - closing, 2s);
    EXPECT_EQ(thread_count_settling_at(threads), threads) << "the publisher thread has ended";
    EXPECT_EQ(texts(fake_log_lines()), (std::vector<std::string>{kStartLine, kSecretsLine}))
        << "nothing left unconfirmed";
}

// The host refuses one registration call: the slots after it stay unset, and
// the plug-in is never started, so no heartbeat runs.
class RejectedRegistration : public Startup, public ::testing::WithParamInterface<size_t> {};

TEST_P(RejectedRegistration, StopsAtTheRejectedSlot)
{
    const size_t rejected = GetParam();
    pb.fail_set.insert(kRegistrationOrder[rejected]);
    write_settings(exchange);
    TestQueue queue(exchange, routing_key);
    const int threads = thread_count();
    EXPECT_EQ(get_entry_rodide_init(&pb), -1);
    EXPECT_EQ(thread_count(), threads);
    EXPECT_EQ(pb.set_order, std::vector<int>(kRegistrationOrder.begin(),
                                             kRegistrationOrder.begin() + static_cast<long>(rejected)));
    EXPECT_EQ(texts(fake_log_lines()),
              (std::vector<std::string>{kStartLine, "Не удалость забиндить плагин\n"}));
    EXPECT_TRUE(queue.drain(1s).empty());
}

INSTANTIATE_TEST_SUITE_P(EachSlot, RejectedRegistration, ::testing::Range<size_t>(0, 5));

TEST_F(Startup, ARefusedCommitOrderPlugInFailsStartUp)
{
    write_settings(exchange);
    TestQueue queue(exchange, routing_key);
    fake_refuse_plugin_registration(true);
    EXPECT_EQ(get_entry_rodide_init(&pb), -1);
    fake_refuse_plugin_registration(false);
    EXPECT_EQ(pb.set_order, kRegistrationOrder);
    EXPECT_EQ(texts(fake_log_lines()),
              (std::vector<std::string>{kStartLine, "Не удалость забиндить плагин\n"}));
}

// With the broker refusing, the start function tries a FULLSYNC at once, again
// at once, then at pauses doubling from 250 ms, and returns only once one has
// been delivered: no change goes out before it.
TEST_F(Startup, TheStartWaitsForTheBrokerToConfirmAFullsync)
{
    write_settings(exchange, "WAIT_FOR_BROKER_AT_START=on\n");
    ASSERT_EQ(get_entry_rodide_init(&pb), 0);
    EXPECT_EQ(pb.set_order, kRegistrationOrder);
    auto start = std::async(std::launch::async, [&] {
        return reinterpret_cast<int (*)(Slapi_PBlock *)>(pb.ptrs[SLAPI_PLUGIN_START_FN])(&pb);
    });
    std::this_thread::sleep_for(6500ms);
    ASSERT_EQ(start.wait_for(0s), std::future_status::timeout);
    // The attempts at 0, 0, 0.25, 0.75, 1.75 and 3.75 s; the next at 7.75 s.
    EXPECT_EQ(fake_log_matching("NOT_FOUND - no exchange").size(), 6u);

    TestQueue queue(exchange, routing_key);
    EXPECT_EQ(bodies(queue.wait_for(1, 6s)), std::vector<std::string>{kFullsync});
    ASSERT_EQ(start.wait_for(2s), std::future_status::ready);
    EXPECT_EQ(start.get(), 0);
    EXPECT_EQ(bodies(queue.wait_for(1, 3s)), std::vector<std::string>{kAlive});
    close_plugin(pb);
}

// With dynamic plug-ins a start may come while the server runs, holding the
// lock every operation takes: it never waits for the broker then.
TEST_F(Startup, WithDynamicPlugInsTheStartNeverWaits)
{
    write_settings(exchange, "WAIT_FOR_BROKER_AT_START=on\n"); // the exchange is missing
    fake_server_config("ldap1.lab", 3389, true);
    ASSERT_EQ(get_entry_rodide_init(&pb), 0);
    const auto started = Clock::now();
    start_plugin(pb);
    EXPECT_LT(Clock::now() - started, 1s);
    EXPECT_EQ(fake_log_matching("nsslapd-dynamic-plugins: on").size(), 1u);
    close_plugin(pb);
    fake_server_config("ldap1.lab", 3389);
}

// The server handles a stop signal only after its start functions: a stop
// asked for while the start waits for the broker ends the wait.
TEST_F(Startup, AStopDuringTheStartEndsTheWait)
{
    write_settings(exchange, "WAIT_FOR_BROKER_AT_START=on\n");
    ASSERT_EQ(get_entry_rodide_init(&pb), 0);
    auto start = std::async(std::launch::async, [&] {
        return reinterpret_cast<int (*)(Slapi_PBlock *)>(pb.ptrs[SLAPI_PLUGIN_START_FN])(&pb);
    });
    std::this_thread::sleep_for(500ms);
    ASSERT_EQ(start.wait_for(0s), std::future_status::timeout);
    fake_shutting_down(true);
    EXPECT_EQ(start.wait_for(1s), std::future_status::ready);
    fake_shutting_down(false);
    close_plugin(pb);
    EXPECT_EQ(fullsync.load(), 1) << "still owed: the next start sends it";
}

// The settings hold the broker password: a file others can read is worth a
// warning at start-up.
TEST_F(Startup, WarnsWhenOthersCanReadTheSettings)
{
    write_settings(exchange);
    TestQueue queue(exchange, routing_key);
    for (const mode_t mode : {0600, 0400, 0640, 0604}) {
        SCOPED_TRACE(mode);
        fake_log_clear();
        pb = {};
        pb.ptrs[SLAPI_PLUGIN_IDENTITY] = &identity;
        chmod(settings_path.c_str(), mode);
        EXPECT_EQ(get_entry_rodide_init(&pb), 0);
        const auto warnings = fake_log_matching("доступен для чтения не только владельцу");
        ASSERT_EQ(warnings.size(), (mode & 044) ? 1u : 0u);
        if (!warnings.empty()) {
            EXPECT_EQ(warnings[0].subsystem, "get_entry_rodide_init");
        }
    }
}

// An import, a restore or a replica initialisation replaces a backend's
// entries without operations: once the backend is back, consumers get a
// FULLSYNC, and one line says why.
TEST_F(Startup, ABackendBackFromAnImportOwesAFullsync)
{
    write_settings(exchange);
    TestQueue queue(exchange, routing_key);
    ASSERT_EQ(get_entry_rodide_init(&pb), 0);
    start_plugin(pb);
    ASSERT_EQ(bodies(queue.wait_for(2, 5s)), (std::vector<std::string>{kFullsync, kAlive}));
    fake_backend_state_change("userroot", SLAPI_BE_STATE_ON, SLAPI_BE_STATE_OFFLINE);
    EXPECT_TRUE(queue.drain(500ms).empty()) << "not while the import runs";
    fake_backend_state_change("userroot", SLAPI_BE_STATE_OFFLINE, SLAPI_BE_STATE_ON);
    EXPECT_EQ(bodies(queue.wait_for(1, 7s)), std::vector<std::string>{kFullsync});
    const auto lines = fake_log_matching("userroot");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].subsystem, "backend_state");
    close_plugin(pb);
    fake_backend_state_change("userroot", SLAPI_BE_STATE_OFFLINE, SLAPI_BE_STATE_ON);
    EXPECT_EQ(fake_log_matching("userroot").size(), 1u) << "no longer watched after the close";
}

// By default the start returns at once, while the broker has not confirmed
// the FULLSYNC; what comes later follows it.
TEST_F(Startup, WithoutWaitingTheStartReturnsAndTheFullsyncComesFirst)
{
    TestQueue queue(exchange, routing_key);
    CutProxy proxy;
    proxy.hold_replies(true);
    write_settings(exchange, "", proxy.port());
    ASSERT_EQ(get_entry_rodide_init(&pb), 0);
    start_plugin(pb);
    EXPECT_EQ(fullsync.load(), 1) << "returned before the broker confirmed the FULLSYNC";
    send_message("{\"op_type\": \"NOTE\"}");
    proxy.hold_replies(false);
    std::vector<std::string> got;
    for (const auto &m : queue.wait_for(3, 7s))
        got.push_back(m.body);
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got.front(), kFullsync);
    close_plugin(pb);
}

// The older calls work on a copy of the settings: changing it changes
// nothing the stream uses, and a message delivered on a connection of its
// own beside the stream leaves the stream's FULLSYNC owed.
TEST_F(Startup, TheOlderCallsLeaveTheStreamAlone)
{
    TestQueue queue(exchange, routing_key);
    CutProxy proxy;
    proxy.hold_replies(true);
    write_settings(exchange, "", proxy.port());
    ASSERT_EQ(get_entry_rodide_init(&pb), 0);
    start_plugin(pb);
    const std::string direct = "RABBIT_PORT=" + std::to_string(broker_port());
    ASSERT_EQ(set_config_fields(connection_config, direct.c_str()), 0);
    EXPECT_EQ(__send_message(kFullsync.c_str()), 0);
    EXPECT_EQ(bodies(queue.wait_for(1, 5s)), std::vector<std::string>{kFullsync});
    EXPECT_EQ(fullsync.load(), 1) << "the stream's own FULLSYNC is still unconfirmed";
    EXPECT_TRUE(queue.drain(500ms).empty()) << "the stream still goes through the proxy";
    ASSERT_EQ(initialize_config(connection_config, "/nonexistent/dirmirror.env"), -1);
    EXPECT_EQ(connection_config->port, broker_port()) << "a failed read leaves the values";
    proxy.hold_replies(false);
    EXPECT_EQ(bodies(queue.wait_for(1, 5s)), std::vector<std::string>{kFullsync});
    close_plugin(pb);
}

// A plug-in initialised again frees the one before (its queue's wake-up
// descriptor among what it holds).
TEST_F(Startup, APlugInInitialisedAgainFreesTheOneBefore)
{
    write_settings(exchange);
    auto descriptors = [] {
        int count = 0;
        if (DIR *dir = opendir("/proc/self/fd")) {
            while (const dirent *e = readdir(dir))
                count += e->d_name[0] != '.';
            closedir(dir);
        }
        return count;
    };
    ASSERT_EQ(get_entry_rodide_init(&pb), 0);
    const int open = descriptors();
    for (int again = 0; again < 5; ++again)
        ASSERT_EQ(get_entry_rodide_init(&pb), 0);
    EXPECT_EQ(descriptors(), open);
}

// A broker that takes the connection and never answers the TLS handshake:
// the close still ends within its bound, and the publisher thread with it.
TEST_F(Startup, AStopWhileConnectingEndsWithinItsBound)
{
    int port = 0;
    const int silent = listen_on_loopback(port); // never accepts, never answers
    const std::string ca = dir + "/ca.pem";
    ASSERT_EQ(std::system(("openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=ca -days 1 -keyout " +
                           dir + "/ca.key -out " + ca + " 2>/dev/null").c_str()),
              0);
    write_settings(exchange, "RABBIT_TLS=on\nRABBIT_CACERT=" + ca + "\n", port);
    const int threads = thread_count();
    ASSERT_EQ(get_entry_rodide_init(&pb), 0);
    start_plugin(pb);
    std::this_thread::sleep_for(300ms); // connecting
    const auto closing = Clock::now();
    close_plugin(pb);
    EXPECT_LT(Clock::now() - closing, 8s);
    EXPECT_EQ(thread_count_settling_at(threads), threads) << "not left behind";
    close(silent);
}
