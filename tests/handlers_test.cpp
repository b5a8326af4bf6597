// The three post-operation handlers, driven through the fake host with the
// publisher running, with the events caught on a real broker queue.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

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
    }
    void restart(const dirmirror::Settings &settings)
    {
        EXPECT_EQ(dirmirror::close_plugin(nullptr), 0);
        start(settings);
    }

    // A finished operation on `dn` with the given result code.
    slapi_pblock operation(const std::string &dn, int result = 0)
    {
        dns.push_back(std::make_unique<std::string>(dn));
        slapi_pblock pb;
        pb.ints[SLAPI_PLUGIN_OPRETURN] = result;
        pb.ptrs[SLAPI_TARGET_DN] = dns.back()->data();
        pb.ptrs[SLAPI_OPERATION] = dns.back().get(); // one per operation
        return pb;
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
    std::vector<std::unique_ptr<std::string>> dns;
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
        EXPECT_EQ(get_entry_rodide_delete(&pb), 0);
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
        EXPECT_EQ(get_entry_rodide_delete(&pb), 0);
        const auto got = events();
        ASSERT_EQ(got.size(), 1u);
        const auto event = json::parse(got[0]);
        EXPECT_EQ(event["dn"], dn);
        EXPECT_EQ(event["op_type"], "delete");
        EXPECT_EQ(event.size(), 2u);
    }
}

TEST_F(Handlers, FailedOperationsAndUnreadableDnsPublishNothing)
{
    using Handler = int (*)(Slapi_PBlock *);
    struct Case {
        const char *subsystem;
        Handler handler;
    };
    const std::vector<Case> handlers = {{"get_entry_delete", get_entry_rodide_delete},
                                        {"get_entry_modify", get_entry_rodide_modify},
                                        {"get_entry_add", get_entry_rodide_add}};
    for (const auto &h : handlers) {
        SCOPED_TRACE(h.subsystem);
        fake_log_clear();
        // A refused operation (here: entry already exists) is not looked at further.
        auto refused = operation(kUserDn, LDAP_ALREADY_EXISTS);
        refused.fail_get = {SLAPI_TARGET_DN, SLAPI_MODIFY_MODS, SLAPI_ADD_ENTRY};
        EXPECT_EQ(h.handler(&refused), 0);
        EXPECT_TRUE(fake_log_lines().empty());

        auto unreadable = operation(kUserDn);
        unreadable.fail_get = {SLAPI_TARGET_DN};
        EXPECT_EQ(h.handler(&unreadable), -1);
        auto absent = operation(kUserDn);
        absent.ptrs[SLAPI_TARGET_DN] = nullptr;
        EXPECT_EQ(h.handler(&absent), -1);

        const auto lines = fake_log_lines();
        ASSERT_EQ(lines.size(), 2u);
        for (const auto &line : lines) {
            EXPECT_EQ(line.level, 0);
            EXPECT_EQ(line.subsystem, h.subsystem);
            EXPECT_EQ(line.text, "Не удалось получить DN\n");
        }
    }
    EXPECT_TRUE(events().empty());
}

TEST_F(Handlers, ModifyPublishesOneEventPerModificationInOrder)
{
    FakeMods mods;
    mods.add(LDAP_MOD_REPLACE | LDAP_MOD_BVALUES, "sn", std::vector<std::string>{"Tester"})
        .add(LDAP_MOD_DELETE | LDAP_MOD_BVALUES, "description", std::vector<std::string>{"old"})
        .add(LDAP_MOD_ADD | LDAP_MOD_BVALUES, "mail", std::vector<std::string>{"a@lab", "b@lab"});
    auto pb = operation(kUserDn);
    pb.ptrs[SLAPI_MODIFY_MODS] = mods.get();
    EXPECT_EQ(get_entry_rodide_modify(&pb), 0);
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
        {"unknown code 3", 3, std::vector<std::string>{"x"}, "NO OPERATION", json::array()},
        {"replace with the bit-values flag", 0x82, std::vector<std::string>{"x"}, "REPLACE", {"x"}},
        {"code 0x100", 0x100, std::vector<std::string>{"x"}, "NO OPERATION", json::array()},
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
        EXPECT_EQ(get_entry_rodide_modify(&pb), 0);
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
    EXPECT_EQ(get_entry_rodide_modify(&pb), 0);
    std::vector<std::string> keys;
    for (const auto &text : events())
        keys.push_back(json::parse(text).begin().key());
    EXPECT_EQ(keys, (std::vector<std::string>{"0", "1", "0", "1"}));
}

TEST_F(Handlers, ModifyReadsTheModificationsOnlyForMatchingDns)
{
    auto outside = operation("uid=u1,ou=people,dc=lab");
    outside.fail_get = {SLAPI_MODIFY_MODS};
    EXPECT_EQ(get_entry_rodide_modify(&outside), 0);
    EXPECT_TRUE(fake_log_lines().empty());

    auto missing = operation(kUserDn);
    missing.fail_get = {SLAPI_MODIFY_MODS};
    EXPECT_EQ(get_entry_rodide_modify(&missing), -1);
    auto absent = operation(kUserDn);
    absent.ptrs[SLAPI_MODIFY_MODS] = nullptr;
    EXPECT_EQ(get_entry_rodide_modify(&absent), -1);
    const auto lines = fake_log_matching("Ошибка получения LDAPMod array\n");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].subsystem, "get_entry_modify");
    EXPECT_TRUE(events().empty());
}

TEST_F(Handlers, AddPublishesTheEntryWithAllItsAttributes)
{
    slapi_entry entry;
    entry.add("objectClass", {"top", "person"}).add("uid", {"u1"}).add("sn", {"Tester"});
    auto pb = operation(kUserDn);
    pb.ptrs[SLAPI_ADD_ENTRY] = &entry;
    EXPECT_EQ(get_entry_rodide_add(&pb), 0);
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
        json expected_arg; // null: no "arg" member
        std::string log_line;
    };
    const std::vector<Case> cases = {
        {"attribute without values", slapi_entry{}.add("uid", {"u1"}).add("description", {}),
         {{"uid", {"u1"}}, {"description", json::array()}}, ""},
        {"zero byte and brace", slapi_entry{}.add("cn", {std::string("a\0b", 3), "{\"a\":1}"}),
         {{"cn", {std::string("a\0b", 3), "{\"a\":1}"}}}, ""},
        {"later attribute without a type", slapi_entry{}.add("uid", {"u1"}).add_untyped({"x"}).add("sn", {"S"}),
         {{"uid", {"u1"}}, {"sn", {"S"}}}, ""},
        {"no attributes", slapi_entry{}, nullptr, "Ошибка получения первого атрибута Entry\n"},
        {"first attribute without a type", slapi_entry{}.add_untyped({"x"}).add("uid", {"u1"}), nullptr,
         "Ошибка получения типа атрибута\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        fake_log_clear();
        auto entry = c.entry;
        auto pb = operation(kUserDn);
        pb.ptrs[SLAPI_ADD_ENTRY] = &entry;
        EXPECT_EQ(get_entry_rodide_add(&pb), 0);
        const auto got = events();
        ASSERT_EQ(got.size(), 1u);
        const auto event = json::parse(got[0]);
        EXPECT_EQ(event["dn"], kUserDn);
        EXPECT_EQ(event["op_type"], "add");
        if (c.expected_arg.is_null())
            EXPECT_FALSE(event.contains("arg"));
        else
            EXPECT_EQ(event["arg"], c.expected_arg);
        const auto lines = fake_log_lines();
        if (c.log_line.empty()) {
            EXPECT_TRUE(lines.empty());
        } else {
            ASSERT_EQ(lines.size(), 1u);
            EXPECT_EQ(lines[0].subsystem, "get_entry_add");
            EXPECT_EQ(lines[0].text, c.log_line);
        }
    }
}

TEST_F(Handlers, AddReadsTheEntryOnlyForMatchingDns)
{
    auto outside = operation("uid=u1,ou=people,dc=lab");
    outside.fail_get = {SLAPI_ADD_ENTRY};
    EXPECT_EQ(get_entry_rodide_add(&outside), 0);
    EXPECT_TRUE(fake_log_lines().empty());

    auto missing = operation(kUserDn);
    missing.fail_get = {SLAPI_ADD_ENTRY};
    EXPECT_EQ(get_entry_rodide_add(&missing), -1);
    const auto lines = fake_log_lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].subsystem, "get_entry_add");
    EXPECT_EQ(lines[0].text, "Ошибка получения Entry\n");
    EXPECT_TRUE(events().empty());
}

TEST_F(Handlers, LargeGroupIsOneEventWithEveryMember)
{
    std::vector<std::string> members;
    for (int i = 0; i < 100000; ++i)
        members.push_back("uid=member" + std::to_string(i) + ",cn=users,cn=accounts,dc=lab");
    slapi_entry entry;
    entry.add("objectClass", {"top", "groupOfNames"}).add("cn", {"big"}).add("member", members);
    auto pb = operation("cn=big,cn=groups,cn=accounts,dc=lab");
    pb.ptrs[SLAPI_ADD_ENTRY] = &entry;
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(get_entry_rodide_add(&pb), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s * DIRMIRROR_SLOWDOWN);
    const auto got = events();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(json::parse(got[0])["arg"]["member"].size(), 100000u);
}

// Operations on several threads: each takes its ticket inside the "backend
// transaction" (one lock, as the server's serial lock), and runs its
// post-operation handler later, at its own pace. The events arrive in the
// order the tickets were taken.
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
                pb.ints[SLAPI_PLUGIN_OPRETURN] = 0;
                pb.ptrs[SLAPI_TARGET_DN] = const_cast<char *>(dn.c_str());
                pb.ptrs[SLAPI_OPERATION] = &pb;
                {
                    std::lock_guard lock(backend_lock);
                    EXPECT_EQ(dirmirror::take_commit_ticket(&pb), 0);
                    commit_order.push_back(delete_event(dn));
                }
                std::this_thread::sleep_for(std::chrono::microseconds((t * 37 + i * 11) % 400));
                EXPECT_EQ(get_entry_rodide_delete(&pb), 0);
            }
        });
    for (auto &t : threads)
        t.join();
    EXPECT_EQ(events(), commit_order);
    EXPECT_TRUE(fake_log_lines().empty());
}

// Only successful operations in the containers take a ticket (internal ones
// too, by default); a taken ticket holds back later events until its handler
// hands its own over.
TEST_F(Handlers, OnlySuccessfulOperationsInTheContainersTakeATicket)
{
    struct Case {
        const char *name;
        std::string dn;
        bool internal;
        int result;
        bool takes_ticket;
    };
    const std::vector<Case> cases = {
        {"ordinary", kUserDn, false, 0, true},
        {"internal", kUserDn, true, 0, true},
        {"failed", kUserDn, false, LDAP_NO_SUCH_OBJECT, false},
        {"outside the containers", "uid=u1,ou=people,dc=lab", false, 0, false},
    };
    const std::string later_dn = "uid=later,cn=users,cn=accounts,dc=lab";
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        auto pb = operation(c.dn, c.result);
        pb.internal = c.internal;
        EXPECT_EQ(dirmirror::take_commit_ticket(&pb), 0);
        // Without a be-txn call of its own, it takes its place at its handler.
        auto later = operation(later_dn);
        EXPECT_EQ(get_entry_rodide_delete(&later), 0);
        if (c.takes_ticket) {
            EXPECT_TRUE(events().empty()) << "held back behind the taken ticket";
            EXPECT_EQ(get_entry_rodide_delete(&pb), 0);
            EXPECT_EQ(events(), (std::vector<std::string>{delete_event(c.dn), delete_event(later_dn)}));
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
    EXPECT_EQ(get_entry_rodide_modify(&modify), 0);
    slapi_entry entry;
    entry.add("uid", {"u1"})
        .add("userPassword;binary", {"{SSHA}aGFzaA=="})
        .add("Unhashed#User#Password", {"clear-text"});
    auto add = operation(kUserDn);
    add.ptrs[SLAPI_ADD_ENTRY] = &entry;
    EXPECT_EQ(get_entry_rodide_add(&add), 0);

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
        EXPECT_EQ(dirmirror::take_rename_ticket(&pb), 0);
        EXPECT_EQ(dirmirror::publish_rename(&pb), 0);
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
    EXPECT_EQ(dirmirror::publish_rename(&failed), 0);
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
        EXPECT_EQ(dirmirror::take_commit_ticket(&pb), 0);
        EXPECT_EQ(get_entry_rodide_delete(&pb), 0);
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
    "eventsPublished", "eventsDropped", "eventsReplayed", "fullsyncsPublished", "queueDepth",
    "queueHighWater", "bufferBytes", "bufferHighWater", "lagSeconds"};
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
        EXPECT_EQ(get_entry_rodide_delete(&pb), 0);
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
                     "publishInternal", "waitForBrokerAtStart", "monitorGroup", "bufferMb", "routing"});
    EXPECT_EQ(types, expected);

    EXPECT_EQ(dirmirror::close_plugin(nullptr), 0);
    EXPECT_TRUE(fake_dse_callbacks().empty());
    start(config); // for TearDown
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
// plug-ins' nested operations run inside it (each with its own be-txn calls,
// then its internal post-operation call), the write takes its ticket just
// before the commit, and its post-operation call follows the commit.
void run_write(slapi_pblock &write, int (*handler)(Slapi_PBlock *),
               std::vector<slapi_pblock *> nested)
{
    EXPECT_EQ(dirmirror::begin_transaction(&write), 0);
    for (auto *pb : nested) {
        EXPECT_EQ(dirmirror::begin_transaction(pb), 0);
        EXPECT_EQ(dirmirror::take_commit_ticket(pb), 0);
        get_entry_rodide_modify(pb);
    }
    EXPECT_EQ(dirmirror::take_commit_ticket(&write), 0);
    handler(&write);
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
// bind (a password change by extended operation, say) is.
TEST_F(Handlers, WritesInsideABindAreNotPublished)
{
    FakeMods mods;
    mods.add(LDAP_MOD_REPLACE, "passwordRetryCount", std::vector<std::string>{"1"});
    for (const bool binding : {true, false}) {
        SCOPED_TRACE(binding ? "inside a bind" : "outside");
        auto bind = operation(kUserDn);
        auto write = operation(kUserDn);
        write.internal = true;
        write.ptrs[SLAPI_MODIFY_MODS] = mods.get();
        if (binding) {
            EXPECT_EQ(dirmirror::begin_bind(&bind), 0);
        }
        run_write(write, get_entry_rodide_modify, {});
        if (binding) {
            EXPECT_EQ(dirmirror::end_bind(&bind), 0);
        }
        EXPECT_EQ(events().size(), binding ? 0u : 1u);
    }
}

// Every message names this server and this start of the plug-in; a change
// carries the CSN the server gave its operation, where it gave one.
TEST_F(Handlers, MessagesNameTheirSourceAndChangesTheirCsn)
{
    auto with_csn = operation(kUserDn);
    fake_operation_csn(with_csn.ptrs[SLAPI_OPERATION], "5f2e8c4a000000010000");
    auto without = operation(kUserDn);
    EXPECT_EQ(get_entry_rodide_delete(&with_csn), 0);
    EXPECT_EQ(get_entry_rodide_delete(&without), 0);
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
                EXPECT_EQ(get_entry_rodide_delete(&pb), 0);
                continue;
            }
            after.dn = write.dn.substr(0, write.dn.find(',') + 1) + *write.moved_to;
            pb.ptrs[SLAPI_MODRDN_NEWRDN] = const_cast<char *>("uid=x");
            pb.ptrs[SLAPI_MODRDN_NEWSUPERIOR_SDN] = &superior;
            pb.ptrs[SLAPI_ENTRY_POST_OP] = &after;
            EXPECT_EQ(dirmirror::take_rename_ticket(&pb), 0);
            EXPECT_EQ(dirmirror::publish_rename(&pb), 0);
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
