#include "utils.h"

#include <algorithm>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include <nlohmann/json.hpp>
#include <slapi-plugin.h>

extern "C" {
DM_EXPORT const char *path_to_config = "/etc/quorvel/dirmirror.env";
}

namespace {

constexpr char kUnset[] = "<unset>";

void set_text_default(char (&field)[DM_CONFIG_TEXT_SIZE])
{
    std::memset(field, 0, sizeof field);
    std::memcpy(field, kUnset, sizeof kUnset);
}

/* Scans `line` with a pattern such as " RABBIT_HOST = %511s " and copies the
 * value only when the scan got that far. */
void scan_text(const char *line, const char *pattern, char (&field)[DM_CONFIG_TEXT_SIZE])
{
    char value[DM_CONFIG_TEXT_SIZE] = {};
    if (std::sscanf(line, pattern, value) == 1)
        std::memcpy(field, value, sizeof value);
}

void scan_port(const char *line, int32_t &port)
{
    // Read wide so that an out-of-range number is refused instead of overflowing.
    long long value = 0;
    if (std::sscanf(line, " RABBIT_PORT = %lld ", &value) == 1 && value >= INT32_MIN &&
        value <= INT32_MAX)
        port = static_cast<int32_t>(value);
}

/* "on" or "off", in any case; anything else leaves the field as it is. */
void scan_switch(const char *line, const char *pattern, int32_t &field)
{
    char value[DM_CONFIG_TEXT_SIZE] = {};
    if (std::sscanf(line, pattern, value) != 1)
        return;
    if (strcasecmp(value, "on") == 0)
        field = 1;
    else if (strcasecmp(value, "off") == 0)
        field = 0;
}

bool starts_with(const char *line, std::string_view key)
{
    return std::strncmp(line, key.data(), key.size()) == 0;
}

char ascii_lower(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

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
 * that is itself JSON go in unquoted. */
void append_value_list(std::string &out, std::span<const std::string_view> values,
                       bool bare_json_allowed)
{
    out += '[';
    for (const auto value : values) {
        if (!(bare_json_allowed && append_bare_json(out, value)))
            dirmirror::append_json_string(out, value);
        out += ',';
    }
    if (!values.empty())
        out.pop_back();
    out += ']';
}

} // namespace

extern "C" int set_config_fields(ConnectionConfig *config, const char *line)
{
    if (config == nullptr || line == nullptr)
        return 0;
    // The first key whose name starts the line decides, even if its scan fails.
    if (starts_with(line, "RABBIT_HOST"))
        scan_text(line, " RABBIT_HOST = %511s ", config->host);
    else if (starts_with(line, "RABBIT_PORT"))
        scan_port(line, config->port);
    else if (starts_with(line, "RABBIT_VHOST"))
        scan_text(line, " RABBIT_VHOST = %511s ", config->vhost);
    else if (starts_with(line, "RABBIT_EXCHANGE"))
        scan_text(line, " RABBIT_EXCHANGE = %511s ", config->exchange);
    else if (starts_with(line, "RABBIT_ROUTINGKEY"))
        scan_text(line, " RABBIT_ROUTINGKEY = %511s ", config->routingkey);
    else if (starts_with(line, "RABBIT_USERNAME"))
        scan_text(line, " RABBIT_USERNAME = %511s ", config->username);
    else if (starts_with(line, "RABBIT_PASSWORD"))
        scan_text(line, " RABBIT_PASSWORD = %511s ", config->password);
    else if (starts_with(line, "RABBIT_TLS"))
        scan_switch(line, " RABBIT_TLS = %511s ", config->tls);
    else if (starts_with(line, "RABBIT_CACERT"))
        scan_text(line, " RABBIT_CACERT = %511s ", config->cacert);
    else if (starts_with(line, "RABBIT_CERT"))
        scan_text(line, " RABBIT_CERT = %511s ", config->cert);
    else if (starts_with(line, "RABBIT_KEY"))
        scan_text(line, " RABBIT_KEY = %511s ", config->key);
    else if (starts_with(line, "RABBIT_VERIFY_HOSTNAME"))
        scan_switch(line, " RABBIT_VERIFY_HOSTNAME = %511s ", config->verify_hostname);
    else if (starts_with(line, "EXCLUDE_ATTRIBUTES"))
        scan_text(line, " EXCLUDE_ATTRIBUTES = %511s ", config->exclude_attributes);
    else if (starts_with(line, "PUBLISH_REPLICATED"))
        scan_switch(line, " PUBLISH_REPLICATED = %511s ", config->publish_replicated);
    else if (starts_with(line, "PUBLISH_INTERNAL"))
        scan_switch(line, " PUBLISH_INTERNAL = %511s ", config->publish_internal);
    return 0;
}

extern "C" int initialize_config(ConnectionConfig *config, const char *path)
{
    set_text_default(config->host);
    config->port = 0;
    set_text_default(config->vhost);
    set_text_default(config->exchange);
    set_text_default(config->routingkey);
    set_text_default(config->username);
    set_text_default(config->password);
    config->tls = 0;
    set_text_default(config->cacert);
    set_text_default(config->cert);
    set_text_default(config->key);
    config->verify_hostname = 1;
    std::memset(config->exclude_attributes, 0, sizeof config->exclude_attributes);
    config->publish_replicated = 1;
    config->publish_internal = 0;

    std::FILE *file = std::fopen(path, "r");
    if (file == nullptr) {
        DM_LOG("initial_config", "fopen(\"%s\") :: Не удалось открыть файл конфигурации\n", path);
        return -1;
    }
    // A line longer than the buffer arrives in pieces, each applied on its own.
    char piece[DM_CONFIG_TEXT_SIZE];
    while (std::fgets(piece, sizeof piece, file) != nullptr)
        set_config_fields(config, piece);
    std::fclose(file);
    return 0;
}

extern "C" int dm_str_format(char **text, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    va_list measure;
    va_copy(measure, args);
    const int length = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (length < 0) {
        va_end(args);
        return length;
    }
    auto *formatted = static_cast<char *>(std::malloc(static_cast<size_t>(length) + 1));
    if (formatted == nullptr) {
        va_end(args);
        *text = nullptr;
        return -1;
    }
    // The old text may be an argument: it is read here, before *text changes.
    std::vsnprintf(formatted, static_cast<size_t>(length) + 1, format, args);
    va_end(args);
    *text = formatted;
    return length;
}

namespace dirmirror {

std::vector<BrokerNode> broker_nodes(std::string_view hosts, int default_port)
{
    std::vector<BrokerNode> nodes;
    while (!hosts.empty()) {
        const auto comma = hosts.find(',');
        std::string_view item = hosts.substr(0, comma);
        hosts = comma == std::string_view::npos ? std::string_view{} : hosts.substr(comma + 1);
        if (item.empty())
            continue;
        BrokerNode node{std::string(item), default_port};
        // The port follows the last colon, unless that colon is inside an
        // IPv6 address: "[::1]:5671", or a bare "::1".
        const auto colon = item.rfind(':');
        const auto bracket = item.rfind(']');
        const bool bracketed = item.front() == '[' && bracket != std::string_view::npos;
        const bool has_port = colon != std::string_view::npos &&
                              (bracketed ? colon == bracket + 1 : item.find(':') == colon);
        std::string_view host = item;
        if (has_port) {
            const auto digits = item.substr(colon + 1);
            int port = 0;
            const bool numeric = !digits.empty() && digits.size() <= 5 &&
                                 std::all_of(digits.begin(), digits.end(),
                                             [](char c) { return c >= '0' && c <= '9'; });
            if (numeric && (port = std::stoi(std::string(digits))) > 0 && port <= 65535) {
                node.port = port;
                host = item.substr(0, colon);
            }
        }
        if (bracketed && host.back() == ']')
            host = host.substr(1, host.size() - 2);
        node.host = std::string(host);
        if (!node.host.empty())
            nodes.push_back(std::move(node));
    }
    return nodes;
}

AttributeFilter::AttributeFilter(std::string_view excluded)
{
    while (!excluded.empty()) {
        const auto comma = excluded.find(',');
        std::string type(excluded.substr(0, comma));
        excluded = comma == std::string_view::npos ? std::string_view{} : excluded.substr(comma + 1);
        std::transform(type.begin(), type.end(), type.begin(), ascii_lower);
        if (!type.empty())
            excluded_.push_back(std::move(type));
    }
}

AttributeFilter::Verdict AttributeFilter::verdict(std::string_view type) const
{
    // Matches `name` itself and its subtypes ("name;binary"), ignoring case.
    auto names = [type](std::string_view name) {
        if (type.size() < name.size() || (type.size() > name.size() && type[name.size()] != ';'))
            return false;
        return std::equal(name.begin(), name.end(), type.begin(),
                          [](char a, char b) { return ascii_lower(a) == ascii_lower(b); });
    };
    if (names("unhashed#user#password"))
        return Verdict::never;
    for (const auto &excluded : excluded_)
        if (names(excluded))
            return Verdict::hide_values;
    return Verdict::publish;
}

void append_json_string(std::string &out, std::string_view bytes)
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
        return;
    }
    out += nlohmann::json(std::string(bytes))
               .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

bool contains_ascii_case_insensitive(std::string_view haystack, std::string_view needle)
{
    return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end(),
                       [](char a, char b) { return ascii_lower(a) == ascii_lower(b); }) !=
           haystack.end();
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
                              std::span<const std::string_view> values)
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
    append_value_list(text, listed, op != LDAP_MOD_DELETE);
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
void append_arg(std::string &text, std::span<const AttributeValues> attributes)
{
    if (attributes.empty())
        return;
    text += ",\"arg\":{";
    for (const auto &attribute : attributes) {
        append_json_string(text, attribute.type);
        text += ':';
        append_value_list(text, attribute.values, false);
        text += ',';
    }
    text.pop_back();
    text += '}';
}

} // namespace

std::string add_event_text(std::string_view dn, std::span<const AttributeValues> attributes)
{
    std::string text;
    text.reserve(64 + dn.size() + attributes_size(attributes));
    text += "{\"dn\":";
    append_json_string(text, dn);
    text += ",\"op_type\":\"add\"";
    append_arg(text, attributes);
    text += "}\n";
    return text;
}

std::string modrdn_event_text(const Rename &rename, std::span<const AttributeValues> attributes)
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
    append_arg(text, attributes);
    text += "}\n";
    return text;
}

std::string_view parent_dn(std::string_view dn)
{
    for (size_t i = 0; i < dn.size(); ++i) {
        if (dn[i] == '\\')
            ++i; // an escaped character, a comma among them
        else if (dn[i] == ',')
            return dn.substr(i + 1);
    }
    return {};
}

bool setting_is_set(const char *setting)
{
    return setting[0] != '\0' && std::strcmp(setting, kUnset) != 0;
}

} // namespace dirmirror
