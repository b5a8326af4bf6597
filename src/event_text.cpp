#include "event_text.h"

#include <ldap.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include <nlohmann/json.hpp>

namespace dirmirror {

namespace {

/* A value that is one whole JSON value is passed through as JSON. Line breaks
 * can only stand between tokens there, so they become blanks and the event
 * stays on one line. */
bool append_bare_json(std::string &out, std::string_view value)
{
    // The JSON reader stops at a zero byte as if the input ended there, so a
    // value holding one is never taken as JSON.
    if (value.empty() || value.front() != '{' || value.find('\0') != std::string_view::npos ||
        !nlohmann::json::accept(value.begin(), value.end()))
        return false;
    const auto start = out.size();
    out.append(value);
    std::replace_if(
        out.begin() + static_cast<std::ptrdiff_t>(start), out.end(),
        [](char c) { return c == '\n' || c == '\r'; }, ' ');
    return true;
}

/* Room for a list of values written verbatim, so that a large event is
 * allocated once rather than grown through a chain of copies. */
size_t value_list_size(std::span<const std::string_view> values)
{
    size_t size = 2;
    for (const auto value : values)
        size += value.size() + 3;
    return size;
}

/* Writes a list of values as "[v1,v2]"; `bare_json_allowed` lets a value
 * that is itself JSON go in unquoted. Replaced values are told `replaced`
 * under `type`. */
void append_value_list(std::string &out, std::span<const std::string_view> values,
                       bool bare_json_allowed, std::string_view type, Replacements *replaced)
{
    out += '[';
    for (const auto value : values) {
        if (!(bare_json_allowed && append_bare_json(out, value)) &&
            append_json_string(out, value) && replaced != nullptr)
            replaced->add(type);
        out += ',';
    }
    if (!values.empty())
        out.pop_back();
    out += ']';
}

} // namespace

void Replacements::add(std::string_view type)
{
    for (auto &[known, count] : by_type)
        if (known == type) {
            ++count;
            return;
        }
    by_type.emplace_back(type, 1);
}

bool append_json_string(std::string &out, std::string_view bytes)
{
    // Most values (names, DNs, member lists) are printable ASCII with nothing
    // to escape; they go in as they are, without the JSON library's copies.
    const bool verbatim = std::all_of(bytes.begin(), bytes.end(), [](char c) {
        return c >= 0x20 && c <= 0x7e && c != '"' && c != '\\';
    });
    if (verbatim) {
        out += '"';
        out.append(bytes);
        out += '"';
        return false;
    }
    const nlohmann::json text = std::string(bytes);
    try {
        out += text.dump();
        return false;
    } catch (const nlohmann::json::type_error &) {
        // Not UTF-8: the library says so, and writes it again with U+FFFD.
        out += text.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
        return true;
    }
}

const char *modify_op_name(int mod_op)
{
    switch (mod_op & ~LDAP_MOD_BVALUES) {
    case LDAP_MOD_ADD:
        return "ADD";
    case LDAP_MOD_DELETE:
        return "DELETE";
    case LDAP_MOD_REPLACE:
        return "REPLACE";
    default:
        return "NO OPERATION";
    }
}

std::string delete_event_text(std::string_view dn)
{
    std::string text = "{\"dn\":";
    append_json_string(text, dn);
    text += ",\"op_type\":\"delete\"}\n";
    return text;
}

std::string modify_event_text(int index, std::string_view dn, int mod_op, std::string_view type,
                              std::span<const std::string_view> values, Replacements *replaced)
{
    const int op = mod_op & ~LDAP_MOD_BVALUES;
    // A DELETE lists the values it removes (none: the whole attribute).
    const bool lists_values = op == LDAP_MOD_ADD || op == LDAP_MOD_REPLACE || op == LDAP_MOD_DELETE;

    const auto listed = lists_values ? values : std::span<const std::string_view>{};
    std::string text;
    text.reserve(64 + dn.size() + type.size() + value_list_size(listed));
    text += "{\"" + std::to_string(index) + "\":{\"dn\":";
    append_json_string(text, dn);
    text += ",\"op_type\":\"modify\",\"op\":\"";
    text += modify_op_name(mod_op);
    text += "\",\"arg\":{";
    append_json_string(text, type);
    text += ':';
    append_value_list(text, listed, true, type, replaced);
    text += "}}}\n";
    return text;
}

namespace {

size_t attributes_size(std::span<const AttributeValues> attributes)
{
    size_t size = 0;
    for (const auto &attribute : attributes)
        size += attribute.type.size() + 4 + value_list_size(attribute.values);
    return size;
}

/* ,"arg":{"type":["value",...],...}, or nothing without attributes. */
void append_arg(std::string &text, std::span<const AttributeValues> attributes,
                Replacements *replaced)
{
    if (attributes.empty())
        return;
    text += ",\"arg\":{";
    for (const auto &attribute : attributes) {
        append_json_string(text, attribute.type);
        text += ':';
        append_value_list(text, attribute.values, false, attribute.type, replaced);
        text += ',';
    }
    text.pop_back();
    text += '}';
}

} // namespace

std::string add_event_text(std::string_view dn, std::span<const AttributeValues> attributes,
                           Replacements *replaced)
{
    std::string text;
    text.reserve(64 + dn.size() + attributes_size(attributes));
    text += "{\"dn\":";
    append_json_string(text, dn);
    text += ",\"op_type\":\"add\"";
    append_arg(text, attributes, replaced);
    text += "}\n";
    return text;
}

std::string modrdn_event_text(const Rename &rename, std::span<const AttributeValues> attributes,
                              Replacements *replaced)
{
    std::string text;
    text.reserve(128 + rename.old_dn.size() + rename.new_dn.size() + rename.new_rdn.size() +
                 (rename.new_superior ? rename.new_superior->size() : 0) +
                 attributes_size(attributes));
    text += "{\"dn\":";
    append_json_string(text, rename.old_dn);
    text += ",\"op_type\":\"modrdn\",\"newdn\":";
    append_json_string(text, rename.new_dn);
    text += ",\"newrdn\":";
    append_json_string(text, rename.new_rdn);
    text += rename.delete_old_rdn ? ",\"deleteoldrdn\":true" : ",\"deleteoldrdn\":false";
    text += ",\"newsuperior\":";
    if (rename.new_superior)
        append_json_string(text, *rename.new_superior);
    else
        text += "null";
    // Consumers always find "arg", if only empty.
    if (attributes.empty())
        text += ",\"arg\":{}";
    append_arg(text, attributes, replaced);
    text += "}\n";
    return text;
}

std::optional<std::string> event_dn(std::string_view text)
{
    // Every event's first "dn" member: {"dn":"..." or {"0":{"dn":"...
    constexpr std::string_view kMember = "\"dn\":\"";
    const auto start = text.find(kMember);
    if (start == std::string_view::npos || start > 16)
        return std::nullopt;
    auto end = start + kMember.size();
    while (end < text.size() && text[end] != '"')
        end += text[end] == '\\' ? 2 : 1;
    if (end >= text.size())
        return std::nullopt;
    const auto literal = text.substr(start + kMember.size() - 1, end - start - kMember.size() + 2);
    const auto parsed = nlohmann::json::parse(literal, nullptr, false);
    if (!parsed.is_string())
        return std::nullopt;
    return parsed.get<std::string>();
}

int format_new_text(char **text, const char *format, va_list arguments)
{
    va_list measure;
    va_copy(measure, arguments);
    const int length = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (length < 0)
        return length;
    auto *formatted = static_cast<char *>(std::malloc(static_cast<size_t>(length) + 1));
    if (formatted == nullptr) {
        *text = nullptr;
        return -1;
    }
    // The old text may be an argument: it is read here, before *text changes.
    std::vsnprintf(formatted, static_cast<size_t>(length) + 1, format, arguments);
    *text = formatted;
    return length;
}

} // namespace dirmirror
