// The three post-operation handlers, driven through the fake host with the
// publisher running, with the events caught on a real broker queue.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <functional>
#include <map>
#include <set>
#include <thread>

#include "handlers.h"
#include "transactions.h"
#include "lifecycle.h"
#include "plugin.h"
#include "plugin_fixture.h"

using namespace std::chrono_literals;
using nlohmann::json;

namespace {

const std::string kUserDn = "uid=u1,cn=users,cn=accounts,dc=lab";
const std::string kAlive = "{\"op_type\": \"ALIVE\"}";
const std::string kFullsync = "{\"op_type\": \"FULLSYNC\"}";

class Handlers : public PluginOnTestBroker {
  protected:
    void SetUp() override
    {
        PluginOnTestBroker::SetUp();
        queue.emplace(exchange, routing_key);
        fake_server_config("ldap1.lab", 3389); // the origin of every change
        start(config);
    }
    void TearDown() override
    {
        EXPECT_EQ(dirmirror::close_plugin(nullptr), 0);
        queue.reset();
        PluginOnTestBroker::TearDown();
    }

    // A plug-in with `settings`, started as the server starts it: it returns
    // once the broker confirmed its FULLSYNC, and its first ALIVE follows, so
    // the tests' short waits for quiet never include setting up the connection.
    void start(const dirmirror::Settings &settings)
    {
        dirmirror::Plugin::begin(&identity, settings, fullsync);
        ASSERT_EQ(dirmirror::start_plugin(nullptr), 0);
        started = queue->wait_for(2, 10s);
        ASSERT_EQ(bodies(started), (std::vector<std::string>{kFullsync, kAlive}));
        fake_log_clear(); // the start's notes
    }
    void restart(const dirmirror::Settings &settings)
    {
        EXPECT_EQ(dirmirror::close_plugin(nullptr), 0);
        start(settings);
    }

    // An operation on `dn` with the given result code, on a database
    // backend, its entry as the backend stored it (before and after).
    slapi_pblock operation(const std::string &dn, int result = 0)
    {
        dns.push_back(std::make_unique<std::string>(dn));
        slapi_pblock pb;
        pb.ints[SLAPI_PLUGIN_OPRETURN] = result;
        pb.ptrs[SLAPI_TARGET_DN] = dns.back()->data();
        pb.ptrs[SLAPI_OPERATION] = dns.back().get(); // one per operation
        pb.ptrs[SLAPI_BACKEND] = fake_database_backend();
        pb.ptrs[SLAPI_ENTRY_PRE_OP] = pb.ptrs[SLAPI_ENTRY_POST_OP] = &stored;
        return pb;
    }

    // What the server does for a write that commits: the be-txn
    // post-operation call that captures its events, then the
    // be-post-operation call.
    static void commit(slapi_pblock &pb, int (*capture)(Slapi_PBlock *))
    {
        EXPECT_EQ(capture(&pb), 0);
        EXPECT_EQ(dirmirror::hand_over(&pb), 0);
    }

    // Every event published since the last call, ALIVE left out; each must
    // be one line of valid JSON.
    std::vector<std::string> events()
    {
        auto got = bodies(queue->drain(500ms));
        std::erase(got, "{\"op_type\": \"ALIVE\"}");
        for (const auto &text : got) {
            EXPECT_TRUE(json::accept(text)) << text;
            const bool control_message = text.rfind("{\"op_type\": ", 0) == 0;
            if (!control_message) {
                EXPECT_EQ(text.find('\n'), text.size() - 1) << text;
            }
        }
        return got;
    }

    std::optional<TestQueue> queue;
    std::vector<Delivered> started; // by the last start
    // An entry that lives as long as the test.
    slapi_entry *keep(const slapi_entry &entry)
    {
        entries.push_back(std::make_unique<slapi_entry>(entry));
        return entries.back().get();
    }

    std::vector<std::unique_ptr<std::string>> dns;
    std::vector<std::unique_ptr<slapi_entry>> entries;
    slapi_entry stored = slapi_entry{}.add("objectClass", {"top", "person"});
    int identity = 0;
};

std::string delete_event(const std::string &dn)
{
    return "{\"dn\":\"" + dn + "\",\"op_type\":\"delete\"}\n";
}

} // namespace

TEST_F(Handlers, DeletePublishesOnceForEachContainerInTheDn)
{
    struct Case {
        std::string dn;
        size_t events;
    };
    const std::vector<Case> cases = {
        {kUserDn, 1},
        {"uid=u1,CN=Users,cn=accounts,dc=lab", 1},
        {"cn=users,cn=accounts,dc=lab", 1},
        {"fqdn=h1,cn=computers,cn=accounts,dc=lab", 1},
        {"ou=o1,cn=orgunits,cn=accounts,dc=lab", 1},
        {"cn=g1,cn=groups,cn=accounts,dc=lab", 1},
        {"cn=h1,cn=hostgroups,cn=accounts,dc=lab", 1},
        {"cn=x,cn=users,cn=accounts,cn=groups,cn=accounts,dc=lab", 2},
        {"uid=u1,ou=people,dc=lab", 0},
        {"uid=u1,cn=users,dc=lab", 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.dn);
        auto pb = operation(c.dn);
        commit(pb, get_entry_rodide_delete);
        EXPECT_EQ(events(), std::vector<std::string>(c.events, delete_event(c.dn)));
    }
    EXPECT_TRUE(fake_log_lines().empty());
}

TEST_F(Handlers, DnsThatNeedEscapingGiveValidEvents)
{
    for (const std::string dn : {"cn=Smith\\, John,cn=users,cn=accounts,dc=lab",
                                 "cn=\\\"quoted\\\",cn=users,cn=accounts,dc=lab",
                                 "cn=x\",\"op_type\":\"add,cn=users,cn=accounts,dc=lab"}) {
        SCOPED_TRACE(dn);
        auto pb = operation(dn);
        commit(pb, get_entry_rodide_delete);
        const auto got = events();
        ASSERT_EQ(got.size(), 1u);
        const auto event = json::parse(got[0]);
        EXPECT_EQ(event["dn"], dn);
        EXPECT_EQ(event["op_type"], "delete");
        EXPECT_EQ(event.size(), 2u);
    }
}

// A write that failed, before or at its commit, publishes nothing and says
// nothing; what is outside the subtrees is not even read.
TEST_F(Handlers, FailedWritesAndWritesOutsideTheSubtreesPublishNothing)
{
    using Handler = int (*)(Slapi_PBlock *);
    const std::vector<Handler> handlers = {get_entry_rodide_delete, get_entry_rodide_modify,
                                           get_entry_rodide_add, dirmirror::capture_rename};
    for (const auto handler : handlers) {
        auto refused = operation(kUserDn, LDAP_ALREADY_EXISTS);
        refused.fail_get = {SLAPI_TARGET_DN, SLAPI_MODIFY_MODS, SLAPI_ENTRY_POST_OP};
        commit(refused, handler);
        auto aborted = operation(kUserDn);
        aborted.ints[SLAPI_RESULT_CODE] = LDAP_UNWILLING_TO_PERFORM; // by a plug-in before us
        commit(aborted, handler);
        auto outside = operation("uid=u1,ou=people,dc=lab");
        outside.fail_get = {SLAPI_MODIFY_MODS, SLAPI_ENTRY_POST_OP, SLAPI_ENTRY_PRE_OP};
        commit(outside, handler);
        FakeMods mods;
        mods.add(LDAP_MOD_REPLACE, "sn", std::vector<std::string>{"S"});
        auto failed_commit = operation(kUserDn);
        failed_commit.ptrs[SLAPI_MODIFY_MODS] = mods.get();
        EXPECT_EQ(handler(&failed_commit), 0);
        failed_commit.ints[SLAPI_RESULT_CODE] = LDAP_OPERATIONS_ERROR;
        EXPECT_EQ(dirmirror::hand_over(&failed_commit), 0);
    }
    EXPECT_TRUE(fake_log_lines().empty());
    EXPECT_TRUE(events().empty());
}

// An event that cannot be built is a loss: one line says why, and a
// FULLSYNC takes its place in the stream.
TEST_F(Handlers, AnEventThatCannotBeBuiltIsALoss)
{
    FakeMods mods;
    mods.add(LDAP_MOD_REPLACE, "sn", std::vector<std::string>{"S"});
    struct Case {
        const char *name;
        int (*handler)(Slapi_PBlock *);
        std::function<void(slapi_pblock &)> break_it;
        const char *subsystem, *line;
    };
    const std::vector<Case> cases = {
        {"a delete without a DN", get_entry_rodide_delete,
         [](slapi_pblock &pb) { pb.fail_get.insert(SLAPI_TARGET_DN); }, "get_entry_delete",
         "Не удалось получить DN\n"},
        {"a delete without its entry", get_entry_rodide_delete,
         [](slapi_pblock &pb) { pb.ptrs[SLAPI_ENTRY_PRE_OP] = nullptr; }, "get_entry_delete",
         "Ошибка получения Entry\n"},
        {"a modify without modifications", get_entry_rodide_modify,
         [](slapi_pblock &pb) { pb.ptrs[SLAPI_MODIFY_MODS] = nullptr; }, "get_entry_modify",
         "Ошибка получения LDAPMod array\n"},
        {"a modify without its entry", get_entry_rodide_modify,
         [&mods](slapi_pblock &pb) {
             pb.ptrs[SLAPI_MODIFY_MODS] = mods.get();
             pb.fail_get.insert(SLAPI_ENTRY_POST_OP);
         },
         "get_entry_modify", "Ошибка получения Entry\n"},
        {"an add without its entry", get_entry_rodide_add,
         [](slapi_pblock &pb) { pb.ptrs[SLAPI_ENTRY_POST_OP] = nullptr; }, "get_entry_add",
         "Ошибка получения Entry\n"},
        {"an add without attributes", get_entry_rodide_add,
         [this](slapi_pblock &pb) { pb.ptrs[SLAPI_ENTRY_POST_OP] = keep(slapi_entry{}); },
         "get_entry_add", "Ошибка получения первого атрибута Entry\n"},
        {"an add whose first attribute has no type", get_entry_rodide_add,
         [this](slapi_pblock &pb) {
             pb.ptrs[SLAPI_ENTRY_POST_OP] = keep(slapi_entry{}.add_untyped({"x"}).add("uid", {"u1"}));
         },
         "get_entry_add", "Ошибка получения типа атрибута\n"},
        {"an add whose later attribute has no type", get_entry_rodide_add,
         [this](slapi_pblock &pb) {
             pb.ptrs[SLAPI_ENTRY_POST_OP] = keep(slapi_entry{}.add("uid", {"u1"}).add_untyped({"x"}));
         },
         "get_entry_add", "Ошибка получения типа атрибута\n"},
        {"a rename without its entry", dirmirror::capture_rename,
         [](slapi_pblock &pb) {
             pb.ptrs[SLAPI_MODRDN_NEWRDN] = const_cast<char *>("uid=u2");
             pb.ptrs[SLAPI_ENTRY_POST_OP] = nullptr;
         },
         "get_entry_modrdn", "Ошибка получения Entry\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        fake_log_clear();
        auto pb = operation(kUserDn);
        c.break_it(pb);
        commit(pb, c.handler);
        auto later = operation(kUserDn);
        commit(later, get_entry_rodide_delete);
        EXPECT_EQ(events(), (std::vector<std::string>{kFullsync, delete_event(kUserDn)}));
        const auto lines = fake_log_lines();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].subsystem, c.subsystem);
        EXPECT_EQ(lines[0].text, c.line);
    }
}

TEST_F(Handlers, ModifyPublishesOneEventPerModificationInOrder)
{
    FakeMods mods;
    mods.add(LDAP_MOD_REPLACE | LDAP_MOD_BVALUES, "sn", std::vector<std::string>{"Tester"})
        .add(LDAP_MOD_DELETE | LDAP_MOD_BVALUES, "description", std::vector<std::string>{"old"})
        .add(LDAP_MOD_ADD | LDAP_MOD_BVALUES, "mail", std::vector<std::string>{"a@lab", "b@lab"});
    auto pb = operation(kUserDn);
    pb.ptrs[SLAPI_MODIFY_MODS] = mods.get();
    commit(pb, get_entry_rodide_modify);
    const std::string prefix = "\"dn\":\"" + kUserDn + "\",\"op_type\":\"modify\",";
    EXPECT_EQ(events(),
              (std::vector<std::string>{
                  "{\"0\":{" + prefix + "\"op\":\"REPLACE\",\"arg\":{\"sn\":[\"Tester\"]}}}\n",
                  "{\"1\":{" + prefix + "\"op\":\"DELETE\",\"arg\":{\"description\":[\"old\"]}}}\n",
                  "{\"2\":{" + prefix + "\"op\":\"ADD\",\"arg\":{\"mail\":[\"a@lab\",\"b@lab\"]}}}\n"}));
}

TEST_F(Handlers, ModifyWritesEachKindOfModificationAndValue)
{
    using Values = std::optional<std::vector<std::string>>;
    struct Case {
        const char *name;
        int op;
        Values values;
        const char *op_name;
        json expected_values;
    };
    const std::vector<Case> cases = {
        {"replace with no values", LDAP_MOD_REPLACE, std::vector<std::string>{}, "REPLACE", json::array()},
        {"replace without a value array", LDAP_MOD_REPLACE, std::nullopt, "REPLACE", json::array()},
        {"replace with the bit-values flag", 0x82, std::vector<std::string>{"x"}, "REPLACE", {"x"}},
        {"increment: the value stored", LDAP_MOD_INCREMENT, std::vector<std::string>{"1"},
         "REPLACE", {"42"}},
        {"JSON value written bare", LDAP_MOD_ADD, std::vector<std::string>{"{\"a\":[1,2]}", "\"a\":1}"},
         "ADD", {{{"a", {1, 2}}}, "\"a\":1}"}},
        {"deleted JSON value written bare too", LDAP_MOD_DELETE,
         std::vector<std::string>{"{\"a\": 1}"}, "DELETE", {{{"a", 1}}}},
        {"hashed password stays a string", LDAP_MOD_REPLACE,
         std::vector<std::string>{"{PBKDF2-SHA512}10000$c2FsdA==$aGFzaA=="}, "REPLACE",
         {"{PBKDF2-SHA512}10000$c2FsdA==$aGFzaA=="}},
        {"empty value", LDAP_MOD_ADD, std::vector<std::string>{""}, "ADD", {""}},
        {"zero byte kept", LDAP_MOD_ADD, std::vector<std::string>{std::string("a\0b", 3)}, "ADD",
         {std::string("a\0b", 3)}},
        {"invalid UTF-8 replaced", LDAP_MOD_ADD, std::vector<std::string>{"ok\xff"}, "ADD",
         {"ok\xef\xbf\xbd"}},
        {"injection stays inside its string", LDAP_MOD_REPLACE,
         std::vector<std::string>{"x\"]}},\"op_type\":\"delete"}, "REPLACE",
         {"x\"]}},\"op_type\":\"delete"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        FakeMods mods;
        mods.add(c.op, "description", c.values);
        auto pb = operation(kUserDn);
        pb.ptrs[SLAPI_MODIFY_MODS] = mods.get();
        pb.ptrs[SLAPI_ENTRY_POST_OP] = keep(slapi_entry{}.add("description", {"42"}));
        commit(pb, get_entry_rodide_modify);
        const auto got = events();
        ASSERT_EQ(got.size(), 1u);
        const auto event = json::parse(got[0])["0"];
        EXPECT_EQ(event["dn"], kUserDn);
        EXPECT_EQ(event["op_type"], "modify");
        EXPECT_EQ(event["op"], c.op_name);
        EXPECT_EQ(event["arg"], (json{{"description", c.expected_values}}));
    }
}

TEST_F(Handlers, ModifyNumbersModificationsAfreshForEachMatchingContainer)
{
    FakeMods mods;
    mods.add(LDAP_MOD_REPLACE, "sn", std::vector<std::string>{"A"})
        .add(LDAP_MOD_REPLACE, "cn", std::vector<std::string>{"B"});
    auto pb = operation("cn=x,cn=users,cn=accounts,cn=groups,cn=accounts,dc=lab");
    pb.ptrs[SLAPI_MODIFY_MODS] = mods.get();
    commit(pb, get_entry_rodide_modify);
    std::vector<std::string> keys;
    for (const auto &text : events())
        keys.push_back(json::parse(text).begin().key());
    EXPECT_EQ(keys, (std::vector<std::string>{"0", "1", "0", "1"}));
}

// The modifications as the backend applied them: one the server dropped
// before applying it (a plug-in put another in its place, as DNA does with
// its magic value) is not published.
TEST_F(Handlers, ModifyLeavesOutModificationsTheServerDropped)
{
    constexpr int kIgnored = 0x100;
    FakeMods mods;
    mods.add(kIgnored | LDAP_MOD_REPLACE | LDAP_MOD_BVALUES, "uidNumber", std::vector<std::string>{"-1"})
        .add(LDAP_MOD_REPLACE | LDAP_MOD_BVALUES, "uidNumber", std::vector<std::string>{"7000"});
    auto pb = operation(kUserDn);
    pb.ptrs[SLAPI_MODIFY_MODS] = mods.get();
    commit(pb, get_entry_rodide_modify);
    EXPECT_EQ(events(), std::vector<std::string>{"{\"0\":{\"dn\":\"" + kUserDn +
                                                 "\",\"op_type\":\"modify\",\"op\":\"REPLACE\","
                                                 "\"arg\":{\"uidNumber\":[\"7000\"]}}}\n"});
}

TEST_F(Handlers, AddPublishesTheEntryWithAllItsAttributes)
{
    slapi_entry entry;
    entry.add("objectClass", {"top", "person"}).add("uid", {"u1"}).add("sn", {"Tester"});
    auto pb = operation(kUserDn);
    pb.ptrs[SLAPI_ENTRY_POST_OP] = &entry;
    commit(pb, get_entry_rodide_add);
    EXPECT_EQ(events(), std::vector<std::string>{
                            "{\"dn\":\"uid=u1,cn=users,cn=accounts,dc=lab\",\"op_type\":\"add\",\"arg\":{"
                            "\"objectClass\":[\"top\",\"person\"],\"uid\":[\"u1\"],\"sn\":[\"Tester\"]}}\n"});
    EXPECT_TRUE(fake_log_lines().empty());
}

TEST_F(Handlers, AddHandlesOddEntries)
{
    struct Case {
        const char *name;
        slapi_entry entry;
        json expected_arg;
    };
    const std::vector<Case> cases = {
        {"attribute without values", slapi_entry{}.add("uid", {"u1"}).add("description", {}),
         {{"uid", {"u1"}}, {"description", json::array()}}},
        {"zero byte and brace", slapi_entry{}.add("cn", {std::string("a\0b", 3), "{\"a\":1}"}),
         {{"cn", {std::string("a\0b", 3), "{\"a\":1}"}}}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        auto entry = c.entry;
        auto pb = operation(kUserDn);
        pb.ptrs[SLAPI_ENTRY_POST_OP] = &entry;
        commit(pb, get_entry_rodide_add);
        const auto got = events();
        ASSERT_EQ(got.size(), 1u);
        const auto event = json::parse(got[0]);
        EXPECT_EQ(event["dn"], kUserDn);
        EXPECT_EQ(event["op_type"], "add");
        EXPECT_EQ(event["arg"], c.expected_arg);
    }
    EXPECT_TRUE(fake_log_lines().empty());
}

TEST_F(Handlers, LargeGroupIsOneEventWithEveryMember)
{
    std::vector<std::string> members;
    for (int i = 0; i < 100000; ++i)
        members.push_back("uid=member" + std::to_string(i) + ",cn=users,cn=accounts,dc=lab");
    slapi_entry entry;
    entry.add("objectClass", {"top", "groupOfNames"}).add("cn", {"big"}).add("member", members);
    auto pb = operation("cn=big,cn=groups,cn=accounts,dc=lab");
    pb.ptrs[SLAPI_ENTRY_POST_OP] = &entry;
    const auto started = std::chrono::steady_clock::now();
    commit(pb, get_entry_rodide_add);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s * DIRMIRROR_SLOWDOWN);
    const auto got = events();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(json::parse(got[0])["arg"]["member"].size(), 100000u);
}

// An event larger than the broker takes (MAX_MESSAGE_MB) is a loss before it
// is sent: a FULLSYNC in its place, one line with its DN and size.
TEST_F(Handlers, AnEventLargerThanTheBrokerTakesIsALoss)
{
    auto small = config;
    small.max_message_mb = 1;
    restart(small);
    slapi_entry entry;
    entry.add("cn", {std::string(1 << 20, 'x')});
    auto big = operation(kUserDn);
    big.ptrs[SLAPI_ENTRY_POST_OP] = &entry;
    commit(big, get_entry_rodide_add);
    auto later = operation(kUserDn);
    commit(later, get_entry_rodide_delete);
    EXPECT_EQ(events(), (std::vector<std::string>{kFullsync, delete_event(kUserDn)}));
    const auto lines = fake_log_matching("больше MAX_MESSAGE_MB (1 МиБ)");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].text.find(kUserDn), std::string::npos);
}

// Operations on several threads: each captures its events inside the
// "backend transaction" (one lock, as the server's serial lock), and its
// be-post-operation call hands them over later, at its own pace. The events
// arrive in the order they were captured.
TEST_F(Handlers, EventsArriveInCommitOrderWhateverTheThreadTiming)
{
    constexpr int kThreads = 8, kPerThread = 40;
    std::mutex backend_lock;
    std::vector<std::string> commit_order;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) {
                const std::string dn = "uid=t" + std::to_string(t) + "n" + std::to_string(i) +
                                       ",cn=users,cn=accounts,dc=lab";
                slapi_pblock pb;
                pb.ptrs[SLAPI_TARGET_DN] = const_cast<char *>(dn.c_str());
                pb.ptrs[SLAPI_OPERATION] = &pb;
                pb.ptrs[SLAPI_BACKEND] = fake_database_backend();
                pb.ptrs[SLAPI_ENTRY_PRE_OP] = &stored;
                {
                    std::lock_guard lock(backend_lock);
                    EXPECT_EQ(get_entry_rodide_delete(&pb), 0);
                    commit_order.push_back(delete_event(dn));
                }
                std::this_thread::sleep_for(std::chrono::microseconds((t * 37 + i * 11) % 400));
                EXPECT_EQ(dirmirror::hand_over(&pb), 0);
            }
        });
    for (auto &t : threads)
        t.join();
    EXPECT_EQ(events(), commit_order);
    EXPECT_TRUE(fake_log_lines().empty());
}

// Only writes that reach a database backend's transaction and commit take a
// place in commit order (internal ones too, by default); a place taken holds
// back later events until its outcome is known.
TEST_F(Handlers, OnlyWritesToADatabaseBackendTakeAPlace)
{
    backend configuration{.is_private = true}, chaining{.flags = SLAPI_BE_FLAG_REMOTE_DATA};
    struct Case {
        const char *name;
        Slapi_Backend *backend;
        bool internal;
        bool takes_place;
    };
    const std::vector<Case> cases = {
        {"ordinary", fake_database_backend(), false, true},
        {"internal", fake_database_backend(), true, true},
        {"the server's configuration", &configuration, false, false},
        {"a chaining backend", &chaining, false, false},
    };
    const std::string later_dn = "uid=later,cn=users,cn=accounts,dc=lab";
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        auto pb = operation(kUserDn);
        pb.internal = c.internal;
        pb.ptrs[SLAPI_BACKEND] = c.backend;
        EXPECT_EQ(get_entry_rodide_delete(&pb), 0);
        auto later = operation(later_dn);
        commit(later, get_entry_rodide_delete);
        if (c.takes_place) {
            EXPECT_TRUE(events().empty()) << "held back behind the place taken";
            EXPECT_EQ(dirmirror::hand_over(&pb), 0);
            EXPECT_EQ(events(), (std::vector<std::string>{delete_event(kUserDn), delete_event(later_dn)}));
        } else {
            EXPECT_EQ(events(), std::vector<std::string>{delete_event(later_dn)});
        }
    }
}

// The server's clear-text password carrier is never published; excluded
// attributes are named in a modify without their values and left out of an add.
TEST_F(Handlers, PasswordsAndExcludedAttributesKeepTheirValues)
{
    auto excluding = config;
    excluding.exclude_attributes = {"userPassword"};
    restart(excluding);
    FakeMods mods;
    mods.add(LDAP_MOD_REPLACE, "userPassword", std::vector<std::string>{"{SSHA}aGFzaA=="})
        .add(LDAP_MOD_ADD, "unhashed#user#password", std::vector<std::string>{"clear-text"})
        .add(LDAP_MOD_REPLACE, "sn", std::vector<std::string>{"S"});
    auto modify = operation(kUserDn);
    modify.ptrs[SLAPI_MODIFY_MODS] = mods.get();
    commit(modify, get_entry_rodide_modify);
    slapi_entry entry;
    entry.add("uid", {"u1"})
        .add("userPassword;binary", {"{SSHA}aGFzaA=="})
        .add("Unhashed#User#Password", {"clear-text"});
    auto add = operation(kUserDn);
    add.ptrs[SLAPI_ENTRY_POST_OP] = &entry;
    commit(add, get_entry_rodide_add);

    const std::string prefix = "\"dn\":\"" + kUserDn + "\",\"op_type\":\"modify\",";
    EXPECT_EQ(events(),
              (std::vector<std::string>{
                  "{\"0\":{" + prefix + "\"op\":\"REPLACE\",\"arg\":{\"userPassword\":[]}}}\n",
                  "{\"1\":{" + prefix + "\"op\":\"REPLACE\",\"arg\":{\"sn\":[\"S\"]}}}\n",
                  "{\"dn\":\"" + kUserDn + "\",\"op_type\":\"add\",\"arg\":{\"uid\":[\"u1\"]}}\n"}));
}

// Renames and moves: one event when the old or the new DN lies in a
// container, with the entry after the rename as a client reads it (without
// the backend's own bookkeeping).
TEST_F(Handlers, RenamesAndMovesPublishOneEvent)
{
    struct Case {
        const char *name;
        std::string old_dn, new_rdn;
        std::optional<std::string> new_superior;
        std::string new_dn; // "": nothing published
        bool delete_old_rdn;
    };
    const std::string users = "cn=users,cn=accounts,dc=lab", other = "cn=other,dc=lab";
    const std::vector<Case> cases = {
        {"renamed within", "uid=a," + users, "uid=b", std::nullopt, "uid=b," + users, true},
        {"moved out", "uid=a," + users, "uid=a", other, "uid=a," + other, false},
        {"moved in", "uid=a," + other, "uid=a", users, "uid=a," + users, true},
        {"outside", "uid=a," + other, "uid=b", std::nullopt, "", true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        slapi_entry after;
        after.dn = c.new_dn.empty() ? "uid=b," + other : c.new_dn;
        after.uniqueid = "a1b2c3d4-00000000-00000000-00000001";
        after.add("uid", {c.new_rdn.substr(4)})
            .add("unhashed#user#password", {"secret"})
            .add("entryid", {"7"})
            .add("parentid", {"3"})
            .add("entrydn", {c.new_dn})
            .add("dsEntryDN", {c.new_dn})
            .add("entryUUID", {"5d3c"})
            .add("numSubordinates", {"2"});
        slapi_dn superior{c.new_superior.value_or("")};
        auto pb = operation(c.old_dn);
        pb.ptrs[SLAPI_MODRDN_NEWRDN] = const_cast<char *>(c.new_rdn.c_str());
        pb.ints[SLAPI_MODRDN_DELOLDRDN] = c.delete_old_rdn;
        pb.ptrs[SLAPI_MODRDN_NEWSUPERIOR_SDN] = c.new_superior ? &superior : nullptr;
        pb.ptrs[SLAPI_ENTRY_POST_OP] = &after;
        commit(pb, dirmirror::capture_rename);
        const auto got = queue->drain(500ms);
        if (c.new_dn.empty()) {
            EXPECT_TRUE(bodies(got).empty() || bodies(got) == std::vector<std::string>{kAlive});
            continue;
        }
        ASSERT_FALSE(got.empty());
        const auto &event = got.back();
        EXPECT_EQ(event.body, "{\"dn\":\"" + c.old_dn + "\",\"op_type\":\"modrdn\",\"newdn\":\"" +
                                  c.new_dn + "\",\"newrdn\":\"" + c.new_rdn + "\",\"deleteoldrdn\":" +
                                  (c.delete_old_rdn ? "true" : "false") + ",\"newsuperior\":" +
                                  (c.new_superior ? "\"" + *c.new_superior + "\"" : "null") +
                                  ",\"arg\":{\"uid\":[\"" + c.new_rdn.substr(4) + "\"]}}\n");
        EXPECT_EQ(event.entry_uuid, after.uniqueid);
        EXPECT_EQ(event.replicated, false);
        EXPECT_EQ(event.origin, "ldap1.lab:3389");
    }
    auto failed = operation("uid=a," + users, LDAP_NO_SUCH_OBJECT);
    commit(failed, dirmirror::capture_rename);
    EXPECT_TRUE(events().empty());
}

// Replicated operations are published unless PUBLISH_REPLICATED is off, and
// marked; internal ones unless PUBLISH_INTERNAL is off.
TEST_F(Handlers, ReplicatedAndInternalOperationsFollowTheirSettings)
{
    struct Case {
        const char *name;
        bool replicated, internal;
        bool publish_replicated, publish_internal;
        bool published;
    };
    const std::vector<Case> cases = {
        {"replicated, published", true, false, true, true, true},
        {"replicated, kept back", true, false, false, true, false},
        {"internal, kept back", false, true, true, false, false},
        {"internal, published", false, true, true, true, true},
        {"replication's bookkeeping entry", false, true, true, true, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        auto settings = config;
        settings.publish_replicated = c.publish_replicated;
        settings.publish_internal = c.publish_internal;
        restart(settings);
        auto pb = operation(kUserDn);
        pb.ints[SLAPI_IS_REPLICATED_OPERATION] = c.replicated;
        pb.internal = c.internal;
        slapi_entry deleted;
        deleted.add("objectClass", {"top", std::string(c.published ? "person" : "nsTombstone")});
        pb.ptrs[SLAPI_ENTRY_PRE_OP] = &deleted;
        pb.ptrs[SLAPI_ENTRY_POST_OP] = nullptr; // as for every delete
        commit(pb, get_entry_rodide_delete);
        std::vector<Delivered> got;
        for (auto &m : queue->drain(500ms))
            if (m.body != kAlive)
                got.push_back(m);
        ASSERT_EQ(got.size(), c.published ? 1u : 0u);
        if (c.published) {
            EXPECT_EQ(got[0].replicated, c.replicated);
        }
    }
}

namespace {
// The monitor entry as a base search by `reader` would return it now; the
// values of a type joined by "|".
std::map<std::string, std::string> monitor_entry(slapi_pblock *reader)
{
    for (const auto &registered : fake_dse_callbacks())
        if (registered.operation == SLAPI_OPERATION_SEARCH) {
            slapi_entry entry;
            int code = -1;
            EXPECT_EQ(registered.callback(reader, &entry, nullptr, &code, nullptr, registered.arg),
                      SLAPI_DSE_CALLBACK_OK);
            EXPECT_EQ(code, LDAP_SUCCESS);
            std::map<std::string, std::string> shown;
            for (const auto &attr : entry.attrs)
                for (size_t i = 0; i < attr.values.size(); ++i)
                    shown[*attr.type] += (i > 0 ? "|" : "") + attr.values[i].bytes;
            return shown;
        }
    ADD_FAILURE() << "no search callback registered";
    return {};
}

slapi_pblock requester(bool root, std::string *dn)
{
    slapi_pblock pb;
    pb.ints[SLAPI_REQUESTOR_ISROOT] = root;
    pb.ptrs[SLAPI_REQUESTOR_DN] = dn ? dn->data() : nullptr;
    return pb;
}

const std::set<std::string> kCounters = {
    "eventsPublished", "eventsDropped", "eventsReplayed", "valuesReplaced", "fullsyncsPublished",
    "queueDepth", "queueHighWater", "bufferBytes", "bufferHighWater", "lagSeconds"};
} // namespace

TEST_F(Handlers, TheMonitorEntryShowsDeliveryAndRefusesChanges)
{
    const auto added = fake_added_entries();
    ASSERT_EQ(added.size(), 1u);
    EXPECT_EQ(added[0].dn, "cn=dirmirror,cn=monitor");
    std::set<int> refused;
    for (const auto &registered : fake_dse_callbacks()) {
        EXPECT_EQ(registered.base, "cn=dirmirror,cn=monitor");
        EXPECT_EQ(registered.scope, LDAP_SCOPE_BASE);
        if (registered.operation == SLAPI_OPERATION_SEARCH)
            continue;
        int code = LDAP_SUCCESS;
        char text[SLAPI_DSE_RETURNTEXT_SIZE] = "";
        EXPECT_EQ(registered.callback(nullptr, nullptr, nullptr, &code, text, registered.arg),
                  SLAPI_DSE_CALLBACK_ERROR);
        EXPECT_EQ(code, LDAP_UNWILLING_TO_PERFORM);
        refused.insert(registered.operation);
    }
    EXPECT_EQ(refused, (std::set<int>{SLAPI_OPERATION_MODIFY, SLAPI_OPERATION_DELETE}));

    std::string root_dn = "cn=Directory Manager";
    auto root = requester(true, &root_dn);
    auto before = monitor_entry(&root);
    const auto published = std::stoull(before.at("eventsPublished"));
    for (int n = 0; n < 3; ++n) {
        auto pb = operation(kUserDn);
        commit(pb, get_entry_rodide_delete);
    }
    EXPECT_EQ(events().size(), 3u);
    auto after = monitor_entry(&root);
    for (int wait = 0; wait < 100 && std::stoull(after.at("eventsPublished")) < published + 3; ++wait) {
        std::this_thread::sleep_for(20ms); // the confirms may follow the deliveries
        after = monitor_entry(&root);
    }
    EXPECT_EQ(std::stoull(after.at("eventsPublished")), published + 3);
    EXPECT_EQ(after.at("brokerConnected"), "TRUE");
    EXPECT_EQ(after.at("brokerNode"), "127.0.0.1:" + std::to_string(broker_port()));
    EXPECT_EQ(after.at("rabbitExchange"), exchange);
    EXPECT_EQ(after.at("queueDepth"), "0");
    EXPECT_GE(std::stoull(after.at("queueHighWater")), 1u);
    EXPECT_EQ(after.at("startTime").size(), 15u);
    EXPECT_EQ(after.at("brokerBlocked"), "FALSE");
    EXPECT_EQ(after.at("bufferMb"), "256");
    // Everything confirmed: nothing held, nothing waiting.
    EXPECT_EQ(after.at("bufferBytes"), "0");
    EXPECT_GE(std::stoull(after.at("bufferHighWater")), 1u);
    EXPECT_EQ(after.at("lagSeconds"), "0");
    std::set<std::string> types;
    for (const auto &[type, value] : after)
        types.insert(type);
    // Every setting but the password.
    auto expected = kCounters;
    expected.insert({"brokerConnected", "brokerBlocked", "brokerNode", "lastError", "lastErrorTime",
                     "startTime", "rabbitHost", "rabbitPort", "rabbitVhost", "rabbitExchange",
                     "rabbitRoutingKey", "rabbitUsername", "rabbitTls", "rabbitCacert", "rabbitCert",
                     "rabbitKey", "rabbitVerifyHostname", "excludeAttributes", "publishReplicated",
                     "publishInternal", "publishSecrets", "waitForBrokerAtStart", "monitorGroup",
                     "bufferMb", "maxMessageMb", "routing"});
    EXPECT_EQ(types, expected);

    EXPECT_EQ(dirmirror::close_plugin(nullptr), 0);
    EXPECT_TRUE(fake_dse_callbacks().empty());
    start(config); // for TearDown
}

// A value that is not UTF-8 goes out with U+FFFD in place of its bad bytes:
// each such value counts, and each attribute type is logged once.
TEST_F(Handlers, ValuesThatAreNotUtf8AreCountedAndNamedOncePerType)
{
    FakeMods mods;
    mods.add(LDAP_MOD_REPLACE, "jpegPhoto", std::vector<std::string>{"\xff\xd8", "\xff\xe0"})
        .add(LDAP_MOD_REPLACE, "userCertificate;binary", std::vector<std::string>{"0\x82\xff"})
        .add(LDAP_MOD_REPLACE, "sn", std::vector<std::string>{"Müller"});
    for (int again = 0; again < 2; ++again) {
        auto pb = operation(kUserDn);
        pb.ptrs[SLAPI_MODIFY_MODS] = mods.get();
        commit(pb, get_entry_rodide_modify);
    }
    EXPECT_EQ(events().size(), 6u);
    std::string root_dn = "cn=Directory Manager";
    auto root = requester(true, &root_dn);
    EXPECT_EQ(monitor_entry(&root).at("valuesReplaced"), "6");
    std::vector<std::string> named;
    for (const auto &line : fake_log_matching("не в UTF-8"))
        named.push_back(line.text.substr(0, line.text.find(" не в UTF-8")));
    EXPECT_EQ(named, (std::vector<std::string>{"Значения атрибута jpegPhoto",
                                               "Значения атрибута userCertificate;binary"}));
}

// The root DN and the members of MONITOR_GROUP see the broker link, the last
// error and the settings; anyone else, anonymous included, the counters only.
TEST_F(Handlers, TheMonitorEntryShowsTheBrokerLinkToAdministratorsOnly)
{
    const std::string group = "cn=monitoring,cn=groups,cn=accounts,dc=lab";
    fake_directory_entry(group, slapi_entry{}.add("member", {"uid=watcher,cn=users,cn=accounts,dc=lab"}));
    auto settings = config;
    settings.monitor_group = group;
    restart(settings);
    struct Case {
        const char *name;
        bool root;
        std::optional<std::string> dn;
        bool everything;
    };
    const std::vector<Case> cases = {
        {"the root DN", true, "cn=Directory Manager", true},
        {"a member of the group", false, "uid=watcher, cn=users,cn=accounts,dc=lab", true},
        {"another user", false, "uid=other,cn=users,cn=accounts,dc=lab", false},
        {"anonymous", false, "", false},
        {"no requester", false, std::nullopt, false},
    };
    for (auto c : cases) {
        SCOPED_TRACE(c.name);
        auto reader = requester(c.root, c.dn ? &*c.dn : nullptr);
        std::set<std::string> types;
        for (const auto &[type, value] : monitor_entry(&reader))
            types.insert(type);
        if (c.everything)
            EXPECT_TRUE(types.count("rabbitHost") && types.count("brokerNode") &&
                        types.count("lastError"));
        else
            EXPECT_EQ(types, kCounters);
    }
}

namespace {

// What the server does for one write: the write's transaction begins, the
// plug-ins' nested operations run inside it (each with its own be-txn and
// be-post-operation calls, all before the write commits), the write
// captures its events just before its commit, and its be-post-operation
// call follows the commit.
void run_write(slapi_pblock &write, int (*handler)(Slapi_PBlock *),
               std::vector<slapi_pblock *> nested)
{
    EXPECT_EQ(dirmirror::begin_transaction(&write), 0);
    for (auto *pb : nested) {
        EXPECT_EQ(dirmirror::begin_transaction(pb), 0);
        EXPECT_EQ(get_entry_rodide_modify(pb), 0);
        EXPECT_EQ(dirmirror::hand_over(pb), 0);
    }
    EXPECT_EQ(handler(&write), 0);
    EXPECT_EQ(dirmirror::hand_over(&write), 0);
}

} // namespace

// Changes other plug-ins make inside a write (referential integrity removing
// a deleted user from a group, say) are published right after it, in its
// place and with its replicated flag, and only when it commits.
TEST_F(Handlers, NestedChangesFollowTheirWrite)
{
    const std::string group = "cn=g1,cn=groups,cn=accounts,dc=lab";
    const std::string member_removed = "{\"0\":{\"dn\":\"" + group +
                                       "\",\"op_type\":\"modify\",\"op\":\"DELETE\",\"arg\":{"
                                       "\"member\":[\"" + kUserDn + "\"]}}}\n";
    struct Case {
        const char *name;
        std::string dn;
        int result;
        bool replicated, publish_internal;
        std::vector<std::string> published;
    };
    const std::vector<Case> cases = {
        {"committed", kUserDn, 0, false, true, {delete_event(kUserDn), member_removed}},
        {"failed after its nested change", kUserDn, LDAP_OPERATIONS_ERROR, false, true, {}},
        {"outside the containers", "uid=u1,ou=people,dc=lab", 0, false, true, {member_removed}},
        {"replicated", kUserDn, 0, true, true, {delete_event(kUserDn), member_removed}},
        {"internal changes kept back", kUserDn, 0, false, false, {delete_event(kUserDn)}},
    };
    FakeMods mods;
    mods.add(LDAP_MOD_DELETE, "member", std::vector<std::string>{kUserDn});
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        auto settings = config;
        settings.publish_internal = c.publish_internal;
        restart(settings);
        auto write = operation(c.dn, c.result);
        write.ints[SLAPI_IS_REPLICATED_OPERATION] = c.replicated;
        auto nested = operation(group);
        nested.internal = true;
        nested.ptrs[SLAPI_MODIFY_MODS] = mods.get();
        run_write(write, get_entry_rodide_delete, {&nested});
        std::vector<std::string> got;
        for (const auto &m : queue->drain(500ms)) {
            if (m.body == kAlive)
                continue;
            got.push_back(m.body);
            EXPECT_EQ(m.replicated, c.replicated) << m.body;
        }
        EXPECT_EQ(got, c.published);
    }
}

// The server's own writes while it processes a bind (failure counters,
// lockout, last login) are not published; the same internal write outside a
// bind (a password change by extended operation, say) is, also after a bind
// that ended without its post-bind call (an expired password).
TEST_F(Handlers, WritesInsideABindAreNotPublished)
{
    FakeMods mods;
    mods.add(LDAP_MOD_REPLACE, "passwordRetryCount", std::vector<std::string>{"1"});
    struct Case {
        const char *name;
        bool bind_begun, bind_ended, other_operation, other_internal;
        size_t published;
    };
    const std::vector<Case> cases = {
        {"inside a bind", true, false, false, false, 0},
        {"inside a bind, after its own internal search", true, false, true, true, 0},
        {"outside", false, false, false, false, 1},
        {"after a bind", true, true, false, false, 1},
        {"in an extended operation after a bind without its post-bind call", true, false, true,
         false, 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        auto bind = operation(kUserDn), extended = operation("");
        auto write = operation(kUserDn);
        write.internal = true;
        write.ptrs[SLAPI_MODIFY_MODS] = mods.get();
        if (c.bind_begun) {
            EXPECT_EQ(dirmirror::begin_bind(&bind), 0);
        }
        if (c.bind_ended) {
            EXPECT_EQ(dirmirror::end_bind(&bind), 0);
        }
        extended.internal = c.other_internal;
        if (c.other_operation) { // its pre-operation call (registered at init)
            EXPECT_EQ(dirmirror::end_bind(&extended), 0);
        }
        run_write(write, get_entry_rodide_modify, {});
        EXPECT_EQ(events().size(), c.published);
        EXPECT_EQ(dirmirror::end_bind(&bind), 0);
    }
}

// Every message names this server and this start of the plug-in; a change
// carries the CSN the server gave its operation, where it gave one.
TEST_F(Handlers, MessagesNameTheirSourceAndChangesTheirCsn)
{
    auto with_csn = operation(kUserDn);
    fake_operation_csn(with_csn.ptrs[SLAPI_OPERATION], "5f2e8c4a000000010000");
    auto without = operation(kUserDn);
    commit(with_csn, get_entry_rodide_delete);
    commit(without, get_entry_rodide_delete);
    const auto got = queue->wait_for(2, 5s);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].csn, "5f2e8c4a000000010000");
    EXPECT_EQ(got[1].csn, "");
    const std::string run = started[0].run_id;
    EXPECT_EQ(run.size(), 36u);
    for (const auto &m : {started[0], started[1], got[0], got[1]}) {
        EXPECT_EQ(m.origin, "ldap1.lab:3389") << m.body;
        EXPECT_EQ(m.run_id, run) << m.body;
        EXPECT_EQ(m.format, "1.0.0") << m.body;
    }
    restart(config);
    EXPECT_NE(started[0].run_id, run) << "a new start, a new run_id";
}

// SUBTREE replaces the five containers, matched the directory's way; with
// ROUTING=per-subtree each event goes out under its subtree's key (the
// deepest base's, for nested ones), control messages under ".control", and
// a rename between subtrees once, under the one it leaves, copied by BCC to
// the one it enters. The five containers route by their own names.
TEST_F(Handlers, SubtreesChooseWhatIsPublishedAndUnderWhichKey)
{
    const std::string people = "ou=People,dc=lab", groups = "ou=Groups,dc=lab",
                      staff = "ou=Staff,ou=People,dc=lab", outside = "ou=elsewhere,dc=lab";
    struct Write {
        std::string dn;
        std::optional<std::string> moved_to = std::nullopt; // a rename's new superior
    };
    struct Case {
        const char *name;
        std::vector<std::string> subtrees;
        std::vector<Write> writes;
        std::map<std::string, std::vector<std::string>> heard; // per routing name: the DNs
    };
    const std::vector<Case> cases = {
        {"SUBTREE bases",
         {people, groups, staff},
         {{"uid=a," + people},
          {"uid=b,OU=people, DC=LAB"},
          {people},
          {"uid=c," + staff},
          {"cn=g," + groups},
          {"uid=d,cn=users,cn=accounts,dc=lab"},
          {"uid=e," + people + "," + outside},
          {"uid=f,ou=xPeople,dc=lab"},
          {"uid=m," + people, groups},
          {"uid=n," + outside, people},
          {"cn=o," + groups, outside}},
         {{"people", {"uid=a," + people, "uid=b,OU=people, DC=LAB", people, "uid=m," + people,
                      "uid=n," + outside}},
          {"groups", {"cn=g," + groups, "uid=m," + people, "cn=o," + groups}},
          {"staff", {"uid=c," + staff}}}},
        {"the five containers",
         {},
         {{"uid=a,cn=users,cn=accounts,dc=lab"},
          {"cn=x,cn=users,cn=accounts,cn=groups,cn=accounts,dc=lab"},
          {"uid=p," + people}},
         {{"users", {"uid=a,cn=users,cn=accounts,dc=lab",
                     "cn=x,cn=users,cn=accounts,cn=groups,cn=accounts,dc=lab"}},
          {"groups", {"cn=x,cn=users,cn=accounts,cn=groups,cn=accounts,dc=lab"}}}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        auto settings = config;
        settings.subtrees = c.subtrees;
        settings.routing_per_subtree = true;
        queue.emplace(exchange, routing_key + ".control");
        std::map<std::string, TestQueue> heard;
        for (const auto &[name, _] : c.heard)
            heard.try_emplace(name, exchange, routing_key + "." + name);
        restart(settings);
        std::string root_dn = "cn=Directory Manager";
        auto root = requester(true, &root_dn);
        const auto shown = monitor_entry(&root);
        EXPECT_EQ(shown.count("subtree") ? shown.at("subtree") : "",
                  c.subtrees.empty() ? "" : people + "|" + groups + "|" + staff);
        EXPECT_EQ(shown.at("routing"), "per-subtree");
        for (const auto &write : c.writes) {
            auto pb = operation(write.dn);
            slapi_entry after;
            slapi_dn superior{write.moved_to.value_or("")};
            if (!write.moved_to) {
                commit(pb, get_entry_rodide_delete);
                continue;
            }
            after.dn = write.dn.substr(0, write.dn.find(',') + 1) + *write.moved_to;
            after.add("uid", {"x"});
            pb.ptrs[SLAPI_MODRDN_NEWRDN] = const_cast<char *>("uid=x");
            pb.ptrs[SLAPI_MODRDN_NEWSUPERIOR_SDN] = &superior;
            pb.ptrs[SLAPI_ENTRY_POST_OP] = &after;
            commit(pb, dirmirror::capture_rename);
        }
        for (auto &[name, name_queue] : heard) {
            SCOPED_TRACE(name);
            std::vector<std::string> dns;
            for (const auto &m : name_queue.drain(500ms)) {
                const auto event = json::parse(m.body);
                dns.push_back(event["dn"]);
                // A copy by BCC keeps the key it was published under.
                if (event["op_type"] != "modrdn") {
                    EXPECT_EQ(m.routing_key, routing_key + "." + name);
                }
            }
            EXPECT_EQ(dns, c.heard.at(name));
        }
        EXPECT_TRUE(events().empty()) << "the control key has change events";
    }
}
