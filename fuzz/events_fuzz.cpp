// The event builders on arbitrary DNs, attribute types, operation codes and
// values (zero bytes, invalid UTF-8, braces, long lists): every event must be
// one line of valid UTF-8 JSON, ending in a single line feed, that reads back
// as what was put in, with invalid UTF-8 replaced by U+FFFD.
#include <fuzzer/FuzzedDataProvider.h>
#include <ldap.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "event_text.h"

using nlohmann::json;

namespace {

constexpr size_t kMaxValues = 4096; // in one event; the add event spreads them over its attributes
constexpr size_t kMaxAttributes = 64;

[[noreturn]] void fail(const char *what, const std::string &event)
{
    std::fprintf(stderr, "events fuzz: %s; event (%zu bytes): %.*s\n", what, event.size(),
                 static_cast<int>(std::min<size_t>(event.size(), 1000)), event.c_str());
    std::abort();
}

/* How many bytes from `at` on begin a well-formed UTF-8 sequence, and
 * whether they complete it (Unicode's table of well-formed byte sequences:
 * no overlong forms, surrogates or values past U+10FFFF). */
struct Sequence {
    size_t bytes;
    bool complete;
};

Sequence utf8_sequence(std::string_view s, size_t at)
{
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
    const unsigned char b0 = byte(at);
    if (b0 < 0x80)
        return {1, true};
    size_t length = 0;
    unsigned char low = 0x80, high = 0xBF; // allowed range of the second byte
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        length = 2;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        length = 3;
        low = b0 == 0xE0 ? 0xA0 : 0x80;
        high = b0 == 0xED ? 0x9F : 0xBF;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        length = 4;
        low = b0 == 0xF0 ? 0x90 : 0x80;
        high = b0 == 0xF4 ? 0x8F : 0xBF;
    } else {
        return {1, false}; // not a lead byte
    }
    for (size_t i = 1; i < length; ++i) {
        const unsigned char lo = i == 1 ? low : 0x80, hi = i == 1 ? high : 0xBF;
        if (at + i >= s.size() || byte(at + i) < lo || byte(at + i) > hi)
            return {i, false};
    }
    return {length, true};
}

bool valid_utf8(std::string_view s)
{
    for (size_t at = 0; at < s.size();) {
        const Sequence sequence = utf8_sequence(s, at);
        if (!sequence.complete)
            return false;
        at += sequence.bytes;
    }
    return true;
}

/* `bytes` with each maximal ill-formed subpart replaced by U+FFFD, as Unicode
 * recommends: a lead byte and the continuation bytes that could still have
 * completed it count as one. */
std::string replaced(std::string_view bytes)
{
    std::string out;
    for (size_t at = 0; at < bytes.size();) {
        const Sequence sequence = utf8_sequence(bytes, at);
        if (sequence.complete)
            out.append(bytes.substr(at, sequence.bytes));
        else
            out += "\xEF\xBF\xBD";
        at += sequence.bytes;
    }
    return out;
}

/* The value as a modify event lists it: a whole JSON object without zero
 * bytes goes in as JSON, anything else as a string. */
json listed_value(std::string_view value)
{
    if (!value.empty() && value.front() == '{' && value.find('\0') == std::string_view::npos &&
        json::accept(value.begin(), value.end()))
        return json::parse(value.begin(), value.end());
    return replaced(value);
}

const char *op_name(int mod_op)
{
    // Codes 0, 1 and 2 once the bit-values flag is cleared; all else is unknown.
    static const char *const names[] = {"ADD", "DELETE", "REPLACE"};
    const int code = mod_op & ~LDAP_MOD_BVALUES;
    return code >= 0 && code < 3 ? names[code] : "NO OPERATION";
}

/* One line of valid UTF-8 JSON ending in its only line feed, and no raw
 * carriage return either. */
json read_event(const std::string &event)
{
    if (event.empty() || event.back() != '\n' || event.find('\n') != event.size() - 1)
        fail("not exactly one line feed, at the end", event);
    if (event.find('\r') != std::string::npos)
        fail("raw carriage return", event);
    if (!valid_utf8(event))
        fail("not valid UTF-8", event);
    json parsed = json::parse(event, nullptr, false);
    if (parsed.is_discarded() || !parsed.is_object())
        fail("not a JSON object", event);
    return parsed;
}

void expect(bool holds, const char *what, const std::string &event)
{
    if (!holds)
        fail(what, event);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider input(data, size);
    static constexpr int kOps[] = {LDAP_MOD_ADD, LDAP_MOD_DELETE, LDAP_MOD_REPLACE,
                                   LDAP_MOD_ADD | LDAP_MOD_BVALUES,
                                   LDAP_MOD_DELETE | LDAP_MOD_BVALUES,
                                   LDAP_MOD_REPLACE | LDAP_MOD_BVALUES};
    const int index = input.ConsumeIntegral<int>();
    const int mod_op = input.ConsumeBool() ? input.PickValueInArray(kOps)
                                           : input.ConsumeIntegral<int>();
    // Mostly short lists, so that the fuzzer stays fast; now and then a long one.
    const bool long_list = input.ConsumeIntegral<uint8_t>() == 0xFF;
    const size_t value_count =
        input.ConsumeIntegralInRange<size_t>(0, long_list ? kMaxValues : 64);
    const size_t attribute_count = input.ConsumeIntegralInRange<size_t>(0, kMaxAttributes);
    const std::string dn = input.ConsumeRandomLengthString(4096);
    const std::string type = input.ConsumeRandomLengthString(256);
    std::deque<std::string> storage; // keeps its strings in place as it grows
    std::vector<std::string_view> values;
    for (size_t i = 0; i < value_count; ++i)
        values.push_back(storage.emplace_back(input.ConsumeRandomLengthString(1024)));

    // delete
    const std::string deleted = dirmirror::delete_event_text(dn);
    expect(read_event(deleted) == json{{"dn", replaced(dn)}, {"op_type", "delete"}},
           "delete event reads back differently", deleted);

    // modify
    const std::string modified = dirmirror::modify_event_text(index, dn, mod_op, type, values);
    const json outer = read_event(modified);
    expect(outer.size() == 1 && outer.contains(std::to_string(index)),
           "modify event is not keyed by its index", modified);
    const json &inner = outer[std::to_string(index)];
    expect(inner.is_object() && inner.size() == 4, "modify event has other members", modified);
    expect(inner.value("dn", json()) == replaced(dn), "modify dn", modified);
    expect(inner.value("op_type", json()) == "modify", "modify op_type", modified);
    expect(inner.value("op", json()) == op_name(mod_op), "modify op", modified);
    const json arg = inner.value("arg", json());
    expect(arg.is_object() && arg.size() == 1 && arg.contains(replaced(type)), "modify type",
           modified);
    const int op = mod_op & ~LDAP_MOD_BVALUES;
    json listed = json::array();
    // Added, replaced and deleted values alike: JSON objects bare, the rest strings.
    if (op == LDAP_MOD_ADD || op == LDAP_MOD_REPLACE || op == LDAP_MOD_DELETE)
        for (const auto value : values)
            listed.push_back(listed_value(value));
    expect(arg[replaced(type)] == listed, "modify values", modified);

    // add: the same values spread over several attributes
    std::vector<dirmirror::AttributeValues> attributes;
    size_t used = 0;
    for (size_t a = 0; a < attribute_count; ++a) {
        dirmirror::AttributeValues attribute{
            storage.emplace_back(a == 0 ? type : input.ConsumeRandomLengthString(256)), {}};
        const size_t count = a + 1 == attribute_count
                                 ? values.size() - used
                                 : input.ConsumeIntegralInRange<size_t>(0, values.size() - used);
        attribute.values.assign(values.begin() + static_cast<std::ptrdiff_t>(used),
                                values.begin() + static_cast<std::ptrdiff_t>(used + count));
        used += count;
        attributes.push_back(std::move(attribute));
    }
    const std::string added = dirmirror::add_event_text(dn, attributes);
    json expected = {{"dn", replaced(dn)}, {"op_type", "add"}};
    if (!attributes.empty()) {
        // A repeated type: the reader keeps the last one.
        expected["arg"] = json::object();
        for (const auto &attribute : attributes) {
            json strings = json::array();
            for (const auto value : attribute.values)
                strings.push_back(replaced(value));
            expected["arg"][replaced(attribute.type)] = strings;
        }
    }
    expect(read_event(added) == expected, "add event reads back differently", added);
    return 0;
}
