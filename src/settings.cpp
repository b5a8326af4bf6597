#include "settings.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstring>

namespace dirmirror {

namespace {

using Kind = SettingKey::Kind;

constexpr SettingKey kKeys[] = {
    {"RABBIT_HOST", Kind::text, "<unset>", "rabbitHost", &Settings::host},
    {"RABBIT_PORT", Kind::number, "0", "rabbitPort", &Settings::port},
    {"RABBIT_VHOST", Kind::text, "<unset>", "rabbitVhost", &Settings::vhost},
    {"RABBIT_EXCHANGE", Kind::text, "<unset>", "rabbitExchange", &Settings::exchange},
    {"RABBIT_ROUTINGKEY", Kind::text, "<unset>", "rabbitRoutingKey", &Settings::routing_key},
    {"RABBIT_USERNAME", Kind::text, "<unset>", "rabbitUsername", &Settings::username},
    {"RABBIT_PASSWORD", Kind::secret, "<unset>", "", &Settings::password},
    {"RABBIT_TLS", Kind::on_off, "off", "rabbitTls", &Settings::tls},
    {"RABBIT_CACERT", Kind::text, "<unset>", "rabbitCacert", &Settings::cacert},
    {"RABBIT_CERT", Kind::text, "<unset>", "rabbitCert", &Settings::cert},
    {"RABBIT_KEY", Kind::text, "<unset>", "rabbitKey", &Settings::key},
    {"RABBIT_VERIFY_HOSTNAME", Kind::on_off, "on", "rabbitVerifyHostname",
     &Settings::verify_hostname},
    {"EXCLUDE_ATTRIBUTES", Kind::list, "empty", "excludeAttributes",
     &Settings::exclude_attributes},
    {"PUBLISH_REPLICATED", Kind::on_off, "on", "publishReplicated", &Settings::publish_replicated},
    {"PUBLISH_INTERNAL", Kind::on_off, "on", "publishInternal", &Settings::publish_internal},
};

// The reader takes a file in pieces of at most this many bytes.
constexpr std::size_t kPiece = 511;

bool blank(char c)
{
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

/* The value of "KEY = value": blanks around "=", then the next run of
 * non-blank bytes; nullopt when there is no "=" or no value. */
std::optional<std::string_view> value_after_key(std::string_view line, std::size_t key_size)
{
    std::size_t at = key_size;
    while (at < line.size() && blank(line[at]))
        ++at;
    if (at == line.size() || line[at] != '=')
        return std::nullopt;
    for (++at; at < line.size() && blank(line[at]);)
        ++at;
    // A value is at most one piece of the file long (see read_settings_file).
    const std::size_t start = at;
    while (at < line.size() && at - start < kPiece && !blank(line[at]))
        ++at;
    if (at == start)
        return std::nullopt;
    return line.substr(start, at - start);
}

/* A decimal number with an optional sign at the start of `text`, whatever
 * follows it; nullopt when there is none or it does not fit 32 bits. */
std::optional<std::int32_t> leading_number(std::string_view text)
{
    std::size_t at = 0;
    const bool negative = !text.empty() && text[0] == '-';
    if (!text.empty() && (text[0] == '-' || text[0] == '+'))
        ++at;
    long long value = 0;
    const std::size_t first_digit = at;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
        value = value * 10 + (text[at] - '0');
        if (value > static_cast<long long>(INT32_MAX) + 1)
            return std::nullopt;
    }
    if (at == first_digit)
        return std::nullopt;
    value = negative ? -value : value;
    if (value < INT32_MIN || value > INT32_MAX)
        return std::nullopt;
    return static_cast<std::int32_t>(value);
}

/* Stores `value` in the row's field, when the row's kind can read it. */
void store(Settings &settings, const SettingKey &row, std::string_view value)
{
    std::visit(
        [&](auto field) {
            using Field = decltype(field);
            if constexpr (std::is_same_v<Field, std::int32_t Settings::*>) {
                if (const auto number = leading_number(value))
                    settings.*field = *number;
            } else if constexpr (std::is_same_v<Field, bool Settings::*>) {
                const std::string word(value);
                if (strcasecmp(word.c_str(), "on") == 0)
                    settings.*field = true;
                else if (strcasecmp(word.c_str(), "off") == 0)
                    settings.*field = false;
            } else {
                settings.*field = std::string(value);
            }
        },
        row.field);
}

std::string shown_value(const Settings &settings, const SettingKey::Field &field)
{
    return std::visit(
        [&](auto member) -> std::string {
            using Field = decltype(member);
            if constexpr (std::is_same_v<Field, std::int32_t Settings::*>)
                return std::to_string(settings.*member);
            else if constexpr (std::is_same_v<Field, bool Settings::*>)
                return settings.*member ? "TRUE" : "FALSE";
            else if constexpr (std::is_same_v<Field, std::string Settings::*>)
                return settings.*member;
            else
                return (settings.*member).value_or("");
        },
        field);
}

} // namespace

std::span<const SettingKey> setting_keys()
{
    return kKeys;
}

void apply_setting_line(Settings &settings, const char *line)
{
    if (line == nullptr)
        return;
    const std::string_view text(line);
    for (const auto &row : kKeys) {
        if (!text.starts_with(row.key))
            continue;
        // The first key that starts the line decides, even if its value is unreadable.
        if (const auto value = value_after_key(text, row.key.size()))
            store(settings, row, *value);
        return;
    }
}

std::optional<Settings> read_settings_file(const char *path)
{
    std::FILE *file = std::fopen(path, "r");
    if (file == nullptr)
        return std::nullopt;
    Settings settings;
    // A line longer than the buffer arrives in pieces, each applied on its own.
    char piece[kPiece + 1];
    while (std::fgets(piece, sizeof piece, file) != nullptr)
        apply_setting_line(settings, piece);
    std::fclose(file);
    return settings;
}

std::vector<std::pair<std::string, std::string>> settings_shown(const Settings &settings)
{
    std::vector<std::pair<std::string, std::string>> shown;
    for (const auto &row : kKeys)
        if (!row.monitor_name.empty())
            shown.emplace_back(row.monitor_name, shown_value(settings, row.field));
    return shown;
}

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

} // namespace dirmirror
