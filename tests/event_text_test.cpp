// The JSON texts of delete, modify and add events.
#include "event_text.h"
#include "exports.h"
#include "dn.h"

#include <gtest/gtest.h>
#include <ldap.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using dirmirror::AttributeValues;
using json = nlohmann::json;
using namespace std::string_literals;

namespace {

const std::string kDn = "uid=u1,cn=users,cn=accounts,dc=lab";
#define FFFD "\xEF\xBF\xBD" // U+FFFD in UTF-8

std::string modify(int index, std::string_view dn, int op, std::string_view type,
                   const std::vector<std::string_view> &values)
{
    return dirmirror::modify_event_text(index, dn, op, type, values);
}

std::string add(std::string_view dn, const std::vector<AttributeValues> &attributes)
{
    return dirmirror::add_event_text(dn, attributes);
}

// An event is one line of JSON ending in a single line feed.
json parse_event(const std::string &text)
{
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
    EXPECT_TRUE(text.ends_with('\n')) << text;
    json parsed = json::parse(text, nullptr, false);
    EXPECT_FALSE(parsed.is_discarded()) << text;
    return parsed.is_discarded() ? json::object() : parsed;
}

TEST(event_text, OrdinaryEventsExactBytes)
{
    struct Case {
        const char *name;
        std::string text, expected;
    };
    const std::vector<Case> cases = {
        {"delete", dirmirror::delete_event_text(kDn),
         R"({"dn":"uid=u1,cn=users,cn=accounts,dc=lab","op_type":"delete"})"
         "\n"},
        {"modify replace", modify(0, kDn, LDAP_MOD_REPLACE, "sn", {"Tester"}),
         R"({"0":{"dn":"uid=u1,cn=users,cn=accounts,dc=lab","op_type":"modify","op":"REPLACE","arg":{"sn":["Tester"]}}})"
         "\n"},
        {"modify delete", modify(1, kDn, LDAP_MOD_DELETE, "description", {}),
         R"({"1":{"dn":"uid=u1,cn=users,cn=accounts,dc=lab","op_type":"modify","op":"DELETE","arg":{"description":[]}}})"
         "\n"},
        {"add", add(kDn, {{"objectClass", {"top", "person"}}, {"uid", {"u1"}}, {"sn", {"Tester"}}}),
         R"({"dn":"uid=u1,cn=users,cn=accounts,dc=lab","op_type":"add","arg":{"objectClass":["top","person"],"uid":["u1"],"sn":["Tester"]}})"
         "\n"},
        {"add without attributes", add(kDn, {}),
         R"({"dn":"uid=u1,cn=users,cn=accounts,dc=lab","op_type":"add"})"
         "\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.text, c.expected);
        parse_event(c.text);
    }
}

TEST(event_text, ModifyOpNamesAndWhichListValues)
{
    struct Case {
        int mod_op;
        const char *name;
        bool lists_values;
    };
    const std::vector<Case> cases = {
        {0, "ADD", true},           {1, "DELETE", true},        {2, "REPLACE", true},
        {3, "NO OPERATION", false}, {0x82, "REPLACE", true},    {0x80, "ADD", true},
        {0x81, "DELETE", true},     {0x100, "NO OPERATION", false},
        {0x181, "NO OPERATION", false}, {-1, "NO OPERATION", false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.mod_op);
        EXPECT_STREQ(dirmirror::modify_op_name(c.mod_op), c.name);
        const json event = parse_event(modify(7, kDn, c.mod_op, "mail", {"a@lab", "b@lab"}));
        EXPECT_EQ(event, json::parse(R"({"7":{"dn":")" + kDn + R"(","op_type":"modify","op":")" +
                                     c.name + R"(","arg":{"mail":)" +
                                     (c.lists_values ? R"(["a@lab","b@lab"])" : "[]") + "}}}"));
    }
    EXPECT_EQ(parse_event(modify(0, kDn, LDAP_MOD_REPLACE, "mail", {}))["0"]["arg"]["mail"],
              json::array());
    // Deleting some values names them (a JSON one bare, as it was added);
    // deleting the attribute keeps its empty list.
    // A deleted value that is JSON is written as the added one was: bare.
    EXPECT_EQ(modify(1, kDn, LDAP_MOD_DELETE, "x", {"{\"a\":1}"}),
              "{\"1\":{\"dn\":\"" + kDn +
                  "\",\"op_type\":\"modify\",\"op\":\"DELETE\",\"arg\":{\"x\":[{\"a\":1}]}}}\n");
    EXPECT_EQ(modify(1, kDn, LDAP_MOD_DELETE, "x", {}),
              "{\"1\":{\"dn\":\"" + kDn + "\",\"op_type\":\"modify\",\"op\":\"DELETE\",\"arg\":{\"x\":[]}}}\n");
}

TEST(event_text, ModifyWritesWholeJsonObjectsBare)
{
    struct Case {
        const char *name;
        std::string value;
        std::string list; // the bytes of the value list in the event
        bool bare;
    };
    const std::vector<Case> cases = {
        {"object", R"({"a":1})", R"([{"a":1}])", true},
        {"nested object", R"({"a":{"b":[1,"x"]}})", R"([{"a":{"b":[1,"x"]}}])", true},
        {"object over several lines", "{\n \"a\": 1\r\n}", R"([{  "a": 1  }])", true},
        {"no opening brace", R"("a":1})", R"(["\"a\":1}"])", false},
        {"password scheme", "{PBKDF2-SHA512}10000$abc", R"(["{PBKDF2-SHA512}10000$abc"])", false},
        {"array", "[1,2]", R"(["[1,2]"])", false},
        {"unclosed", R"({"a":1)", R"(["{\"a\":1"])", false},
        {"text after the object", R"({"a":1} x)", R"(["{\"a\":1} x"])", false},
        {"two objects", R"({"a":1}{"b":2})", R"(["{\"a\":1}{\"b\":2}"])", false},
        {"zero byte after the object", "{\"a\":1}\0{\"b\":2}"s,
         R"(["{\"a\":1}\u0000{\"b\":2}"])", false},
        {"zero byte after empty object", "{}\0"s, R"(["{}\u0000"])", false},
        {"empty", "", R"([""])", false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string text = modify(2, kDn, LDAP_MOD_ADD, "ipaData", {c.value});
        EXPECT_EQ(text, R"({"2":{"dn":")" + kDn +
                            R"(","op_type":"modify","op":"ADD","arg":{"ipaData":)" + c.list +
                            "}}}\n");
        EXPECT_EQ(parse_event(text)["2"]["arg"]["ipaData"],
                  json::array({c.bare ? json::parse(c.value) : json(c.value)}));
        // Add events never pass values through bare.
        EXPECT_EQ(parse_event(add(kDn, {{"ipaData", {c.value}}}))["arg"]["ipaData"],
                  json::array({c.value}));
    }
}

TEST(event_text, BytesAreWrittenAsJsonStrings)
{
    struct Case {
        const char *name;
        std::string bytes;
        std::string quoted;  // exact JSON string
        std::string decoded; // what a reader gets back
    };
    const std::string many_a(700, 'a');
    const std::vector<Case> cases = {
        {"backslash", R"(cn=Smith\, John,cn=users,cn=accounts,dc=lab)",
         R"("cn=Smith\\, John,cn=users,cn=accounts,dc=lab")",
         R"(cn=Smith\, John,cn=users,cn=accounts,dc=lab)"},
        {"double quote", R"(cn=a"b,dc=lab)", R"("cn=a\"b,dc=lab")", R"(cn=a"b,dc=lab)"},
        {"injection", R"(x","op_type":"delete)", R"("x\",\"op_type\":\"delete")",
         R"(x","op_type":"delete)"},
        {"zero bytes", "a\0b\0"s, R"("a\u0000b\u0000")", "a\0b\0"s},
        {"control characters", "\x01\t\n\r\x1f", R"("\u0001\t\n\r\u001f")", "\x01\t\n\r\x1f"},
        {"invalid bytes", "a\xff\xfe", "\"a" FFFD FFFD "\"", "a" FFFD FFFD},
        {"truncated sequence at the end", "ab\xd0", "\"ab" FFFD "\"", "ab" FFFD},
        {"truncated sequence before text", "\xe2\x82x", "\"" FFFD "x\"", FFFD "x"},
        {"long text then invalid byte", many_a + "\xc3",
         std::string("\"").append(many_a).append(FFFD "\""), many_a + FFFD},
        {"cyrillic and emoji", "cn=Тестов 😀", "\"cn=Тестов 😀\"", "cn=Тестов 😀"},
        {"empty", "", R"("")", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::string out = "prefix";
        dirmirror::append_json_string(out, c.bytes);
        EXPECT_EQ(out, "prefix" + c.quoted);

        const std::string deleted = dirmirror::delete_event_text(c.bytes);
        EXPECT_EQ(deleted, "{\"dn\":" + c.quoted + ",\"op_type\":\"delete\"}\n");
        EXPECT_EQ(parse_event(deleted), (json{{"dn", c.decoded}, {"op_type", "delete"}}));

        const json modified = parse_event(modify(0, c.bytes, LDAP_MOD_REPLACE, c.bytes, {c.bytes}));
        EXPECT_EQ(modified, (json{{"0",
                                   {{"dn", c.decoded},
                                    {"op_type", "modify"},
                                    {"op", "REPLACE"},
                                    {"arg", {{c.decoded, json::array({c.decoded})}}}}}}));

        const json added = parse_event(add(c.bytes, {{c.bytes, {c.bytes, "x"}}}));
        EXPECT_EQ(added, (json{{"dn", c.decoded},
                               {"op_type", "add"},
                               {"arg", {{c.decoded, json::array({c.decoded, "x"})}}}}));
    }
}

// Plain text skips the JSON library; every byte must still come out as the
// library would write it.
TEST(event_text, EveryByteIsWrittenAsTheJsonLibraryWritesIt)
{
    for (int byte = 0; byte <= 0xff; ++byte) {
        SCOPED_TRACE(byte);
        const std::string bytes = "a"s + static_cast<char>(byte) + "z";
        std::string out;
        dirmirror::append_json_string(out, bytes);
        EXPECT_EQ(out, json(bytes).dump(-1, ' ', false, json::error_handler_t::replace));
    }
}

TEST(event_text, ContainsAsciiCaseInsensitive)
{
    struct Case {
        std::string haystack, needle;
        bool expected;
    };
    const std::vector<Case> cases = {
        {"uid=u1,cn=users,cn=accounts,dc=lab", "cn=users,cn=accounts", true},
        {"uid=u1,CN=Users,cn=accounts,dc=lab", "cn=users,cn=accounts", true},
        {"uid=u1,cn=users,cn=accounts,dc=lab", "CN=USERS,CN=ACCOUNTS", true},
        {"cn=users,cn=accounts,dc=lab", "cn=users,cn=accounts", true},
        {"cn=admins,cn=hostgroups,cn=accounts,dc=lab", "cn=groups,cn=accounts", false},
        {"uid=u1,cn=users,dc=lab", "cn=users,cn=accounts", false},
        {"cn=users,cn=accounts", "cn=users,cn=accounts,dc=lab", false},
        {"cn=É,dc=lab", "cn=é", false},
        {"cn=É,dc=lab", "CN=É", true},
        {"cn=a[b", "CN=A{B", false}, // '[' and '{' differ by the same bit as case
        {"", "cn=users,cn=accounts", false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(dirmirror::contains_ascii_case_insensitive(c.haystack, c.needle), c.expected)
            << '"' << c.haystack << "\" / \"" << c.needle << '"';
}

TEST(event_text, StrFormatBuildsTheDeleteEvent)
{
    char *text = nullptr;
    EXPECT_EQ(dm_str_format(&text, "{"), 1);
    ASSERT_NE(text, nullptr);
    char *previous = text;
    int length = dm_str_format(&text, "%s\"dn\":\"%s\",", previous, kDn.c_str());
    ASSERT_NE(text, previous);
    EXPECT_STREQ(previous, "{"); // the previous text is left alone
    std::free(previous);
    previous = text;
    length = dm_str_format(&text, "%s\"op_type\":\"delete\"}\n", previous);
    ASSERT_NE(text, previous);
    std::free(previous);
    EXPECT_EQ(text, dirmirror::delete_event_text(kDn));
    EXPECT_EQ(length, static_cast<int>(std::strlen(text)));
    std::free(text);
}

TEST(event_text, LargeValueListsTakeLinearTime)
{
    constexpr size_t kCount = 100'000;
    std::vector<std::string> storage;
    for (size_t i = 0; i < kCount; ++i)
        storage.push_back(i % 10 == 0
                              ? "{\"n\":" + std::to_string(i) + "}"
                              : "uid=member" + std::to_string(i) + ",cn=users,cn=accounts,dc=lab");
    const std::vector<std::string_view> values(storage.begin(), storage.end());

    // Each event on its own: a text rebuilt per value would take minutes here.
    auto timed = [](auto build) {
        const auto start = std::chrono::steady_clock::now();
        std::string text = build();
        EXPECT_LT(std::chrono::steady_clock::now() - start,
                  std::chrono::seconds(1) * DIRMIRROR_SLOWDOWN);
        return text;
    };
    const std::string modified =
        timed([&] { return modify(0, kDn, LDAP_MOD_ADD, "member", values); });
    const std::string added = timed([&] { return add(kDn, {{"member", values}}); });

    const json modify_values = parse_event(modified)["0"]["arg"]["member"];
    ASSERT_EQ(modify_values.size(), kCount);
    EXPECT_EQ(modify_values[10], (json{{"n", 10}}));
    EXPECT_EQ(modify_values[kCount - 1], storage.back());
    const json add_values = parse_event(added)["arg"]["member"];
    ASSERT_EQ(add_values.size(), kCount);
    EXPECT_EQ(add_values[10], storage[10]);
}

} // namespace

// The DN a refused message's log line names.
TEST(event_text, EachEventNamesItsDn)
{
    const std::string odd = "cn=a\\, \"b\",cn=users,dc=lab";
    for (const auto &text :
         {dirmirror::delete_event_text(odd), modify(3, odd, LDAP_MOD_ADD, "cn", {"x"}),
          add(odd, {{"cn", {"x"}}})})
        EXPECT_EQ(dirmirror::event_dn(text), odd) << text;
    EXPECT_EQ(dirmirror::event_dn("{\"op_type\": \"FULLSYNC\"}"), std::nullopt);
    EXPECT_EQ(dirmirror::event_dn("{\"dn\":\"unterminated"), std::nullopt);
}
