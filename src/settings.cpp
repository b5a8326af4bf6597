#include "settings.h"

#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <type_traits>

#include "dn.h"
#include "subtree.h"

namespace dirmirror {

namespace {

using Kind = SettingKey::Kind;

constexpr SettingKey kKeys[] = {
    {"RABBIT_HOST", Kind::text, "required", "rabbitHost", &Settings::host, true},
    {"RABBIT_PORT", Kind::port, "5672 (5671 with TLS)", "rabbitPort", &Settings::port},
    {"RABBIT_VHOST", Kind::text, "/", "rabbitVhost", &Settings::vhost},
    {"RABBIT_EXCHANGE", Kind::text, "required", "rabbitExchange", &Settings::exchange, true},
    {"RABBIT_ROUTINGKEY", Kind::text, "required", "rabbitRoutingKey", &Settings::routing_key,
     true},
    {"RABBIT_USERNAME", Kind::text, "required", "rabbitUsername", &Settings::username, true},
    {"RABBIT_PASSWORD", Kind::secret, "required", "", &Settings::password, true},
    {"RABBIT_TLS", Kind::on_off, "off", "rabbitTls", &Settings::tls},
    {"RABBIT_CACERT", Kind::text, "required with TLS", "rabbitCacert", &Settings::cacert},
    {"RABBIT_CERT", Kind::text, "none", "rabbitCert", &Settings::cert},
    {"RABBIT_KEY", Kind::text, "none", "rabbitKey", &Settings::key},
    {"RABBIT_VERIFY_HOSTNAME", Kind::on_off, "on", "rabbitVerifyHostname",
     &Settings::verify_hostname},
    {"EXCLUDE_ATTRIBUTES", Kind::list, "none", "excludeAttributes",
     &Settings::exclude_attributes},
    {"PUBLISH_REPLICATED", Kind::on_off, "on", "publishReplicated", &Settings::publish_replicated},
    {"PUBLISH_INTERNAL", Kind::on_off, "on", "publishInternal", &Settings::publish_internal},
    {"PUBLISH_SECRETS", Kind::on_off, "off", "publishSecrets", &Settings::publish_secrets},
    {"WAIT_FOR_BROKER_AT_START", Kind::on_off, "off", "waitForBrokerAtStart",
     &Settings::wait_for_broker_at_start},
    {"MONITOR_GROUP", Kind::dn, "none", "monitorGroup", &Settings::monitor_group},
    {"BUFFER_MB", Kind::number, "256", "bufferMb", &Settings::buffer_mb},
    {"MAX_MESSAGE_MB", Kind::number, "128", "maxMessageMb", &Settings::max_message_mb},
    {"SUBTREE", Kind::dn_each, "the five containers", "subtree", &Settings::subtrees},
    {"ROUTING", Kind::routing, "single", "routing", &Settings::routing_per_subtree},
};

constexpr std::string_view kBlanks = " \t\r\v\f";

std::string_view trimmed(std::string_view text)
{
    const auto first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

bool same_ignoring_case(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

/* Text from the file as an error line may show it: printable, and short. */
std::string shown(std::string_view text)
{
    std::string out;
    for (const char c : text.substr(0, 64))
        out += (c >= 0x20 && c < 0x7f) ? c : '?';
    return text.size() > 64 ? out + "..." : out;
}

std::string at_line(int number)
{
    return number > 0 ? " (строка " + std::to_string(number) + ")" : "";
}

std::optional<bool> switch_value(std::string_view value)
{
    for (const auto on : {"on", "true", "yes", "1"})
        if (same_ignoring_case(value, on))
            return true;
    for (const auto off : {"off", "false", "no", "0"})
        if (same_ignoring_case(value, off))
            return false;
    return std::nullopt;
}

/* A whole number from 1 to `highest`, digits only. */
std::optional<std::int32_t> whole_number(std::string_view value, int highest)
{
    if (value.empty() || value.size() > 5 ||
        !std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    const int number = std::stoi(std::string(value));
    return number >= 1 && number <= highest ? std::optional<std::int32_t>(number) : std::nullopt;
}

/* Comma-separated items, blanks around each; nullopt when one is empty. */
std::optional<std::vector<std::string>> list_value(std::string_view value)
{
    std::vector<std::string> items;
    while (true) {
        const auto comma = value.find(',');
        const auto item = trimmed(value.substr(0, comma));
        if (item.empty())
            return std::nullopt;
        items.emplace_back(item);
        if (comma == std::string_view::npos)
            return items;
        value.remove_prefix(comma + 1);
    }
}

bool attribute_type(std::string_view type)
{
    return !type.empty() && std::all_of(type.begin(), type.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '-' || c == ';' || c == '.' || c == '#';
    });
}

const SettingKey *row_of(std::string_view key)
{
    for (const auto &row : kKeys)
        if (row.key == key)
            return &row;
    return nullptr;
}

} // namespace

std::span<const SettingKey> setting_keys()
{
    return kKeys;
}

void SettingsReader::read_line(std::string_view line, int number)
{
    const std::string where = at_line(number);
    const auto equals = line.find('=');
    const auto key = trimmed(line.substr(0, equals));
    const SettingKey *row = equals == std::string_view::npos ? nullptr : row_of(key);
    if (line.size() > kMaxSettingsLine) {
        errors_.push_back((row ? std::string(row->key) + ": строка" : std::string("Строка")) +
                          " длиннее " + std::to_string(kMaxSettingsLine) + " байт" + where);
        return;
    }
    const auto text = trimmed(line);
    if (text.empty() || text.front() == '#')
        return;
    if (equals == std::string_view::npos) {
        errors_.push_back("Нет знака «=»: ожидается КЛЮЧ=значение" + where);
        return;
    }
    if (row == nullptr) {
        const auto known = std::find_if(std::begin(kKeys), std::end(kKeys),
                                        [key](const SettingKey &r) { return same_ignoring_case(r.key, key); });
        errors_.push_back(known != std::end(kKeys)
                              ? "Ключ " + shown(key) + " пишется " + std::string(known->key) + where
                              : "Неизвестный ключ " + shown(key) + where);
        return;
    }
    store(*row, trimmed(line.substr(equals + 1)), number);
}

void SettingsReader::store(const SettingKey &row, std::string_view value, int number)
{
    const std::string where = at_line(number), key(row.key);
    for (const auto &[seen, line] : seen_)
        if (seen == row.key && row.kind != Kind::dn_each) {
            errors_.push_back(key + ": задан дважды (строки " + std::to_string(line) + " и " +
                              std::to_string(number) + ")");
            return;
        }
    seen_.emplace_back(row.key, number);
    // A password is never shown, not even the part that is wrong.
    const std::string quoted = row.kind == Kind::secret ? "" : " \"" + shown(value) + "\"";
    auto refuse = [&](const std::string &why) { errors_.push_back(key + ":" + quoted + " " + why + where); };
    if (value.empty() && row.kind != Kind::list) {
        errors_.push_back(key + ": пустое значение" + where);
        return;
    }
    std::visit(
        [&](auto field) {
            using Field = decltype(field);
            if constexpr (std::is_same_v<Field, bool Settings::*>) {
                if (row.kind == Kind::routing) {
                    if (value == "single" || value == "per-subtree")
                        settings_.*field = value == "per-subtree";
                    else
                        refuse("не распознано: допустимо single или per-subtree");
                } else if (const auto on = switch_value(value))
                    settings_.*field = *on;
                else
                    refuse("не распознано: допустимо on/off, true/false, yes/no, 1/0");
            } else if constexpr (std::is_same_v<Field, std::int32_t Settings::*>) {
                const auto number = whole_number(value, row.kind == Kind::port ? 65535 : 65536);
                if (number)
                    settings_.*field = *number;
                else if (row.kind == Kind::port)
                    refuse("не номер порта: ожидается целое число от 1 до 65535");
                else
                    refuse("не размер: ожидается целое число мегабайт от 1 до 65536");
            } else if constexpr (std::is_same_v<Field, std::vector<std::string> Settings::*>) {
                if (row.kind == Kind::dn_each) {
                    if (parse_dn(value))
                        (settings_.*field).emplace_back(value);
                    else
                        refuse("не DN");
                    return;
                }
                auto items = value.empty() ? std::vector<std::string>{} : list_value(value);
                if (!items || !std::all_of(items->begin(), items->end(), attribute_type))
                    refuse("не список типов атрибутов через запятую");
                else
                    settings_.*field = std::move(*items);
            } else {
                if (row.kind == Kind::dn && value.find('=') == std::string_view::npos)
                    refuse("не DN");
                else
                    settings_.*field = std::string(value);
            }
        },
        row.field);
}

const Settings &SettingsReader::finish()
{
    check_required();
    return settings_;
}

void SettingsReader::check_required()
{
    auto given = [this](std::string_view key) {
        return std::any_of(seen_.begin(), seen_.end(),
                           [key](const auto &seen) { return seen.first == key; });
    };
    for (const auto &row : kKeys)
        if (row.required && !given(row.key))
            errors_.push_back(std::string(row.key) + " не задан");
    if (settings_.tls && !given("RABBIT_PORT"))
        settings_.port = 5671;
    if (!settings_.host.empty() && !broker_nodes(settings_.host, settings_.port))
        errors_.push_back("RABBIT_HOST: \"" + shown(settings_.host) +
                          "\" не список узлов host[:port] через запятую");
    if (settings_.tls && !settings_.cacert)
        errors_.push_back("RABBIT_CACERT не задан, а RABBIT_TLS включён");
    struct stat status {};
    if (settings_.tls && settings_.cacert && stat(settings_.cacert->c_str(), &status) != 0)
        errors_.push_back("RABBIT_CACERT: файла \"" + shown(*settings_.cacert) + "\" нет");
    if (settings_.cert.has_value() != settings_.key.has_value())
        errors_.push_back(settings_.cert ? "RABBIT_CERT задан без RABBIT_KEY"
                                         : "RABBIT_KEY задан без RABBIT_CERT");
    check_subtree_names();
}

/* Each subtree's routing name is its own, and none is the control messages'. */
void SettingsReader::check_subtree_names()
{
    std::vector<std::pair<std::string, std::string_view>> named; // name, base
    for (const auto &base : settings_.subtrees) {
        const auto rdns = parse_dn(base);
        if (!rdns)
            continue; // already refused
        auto name = routing_name(rdns->front());
        if (name == kControlRoutingName) {
            errors_.push_back("SUBTREE: \"" + shown(base) + "\" даёт имя маршрута \"" + name +
                              "\", занятое управляющими сообщениями");
            continue;
        }
        const auto same = std::find_if(named.begin(), named.end(),
                                       [&name](const auto &other) { return other.first == name; });
        if (same != named.end())
            errors_.push_back("SUBTREE: \"" + shown(same->second) + "\" и \"" + shown(base) +
                              "\" дают одно имя маршрута \"" + name + "\"");
        else
            named.emplace_back(std::move(name), base);
    }
}

SettingsFile read_settings_file(const char *path)
{
    SettingsFile result;
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        result.errors.push_back("fopen(\"" + std::string(path) +
                                "\") :: Не удалось открыть файл конфигурации");
        return result;
    }
    SettingsReader reader;
    std::string line;
    for (int number = 1; std::getline(file, line); ++number)
        reader.read_line(line, number);
    const Settings &settings = reader.finish();
    result.errors = reader.errors();
    if (result.errors.empty())
        result.settings = settings;
    struct stat status {};
    if (stat(path, &status) == 0 && (status.st_mode & (S_IRGRP | S_IROTH)) != 0) {
        char text[256];
        std::snprintf(text, sizeof text,
                      "Файл настроек %s доступен для чтения не только владельцу (права %04o), а в "
                      "нём пароль брокера: оставьте права 0600",
                      path, static_cast<unsigned>(status.st_mode & 07777));
        result.warning = text;
    }
    return result;
}

std::vector<std::string> apply_setting_line(Settings &settings, std::string_view line)
{
    SettingsReader reader(settings);
    reader.read_line(line, 0);
    if (reader.errors().empty())
        settings = reader.settings_so_far();
    return reader.errors();
}

namespace {

std::string shown_value(const Settings &settings, const SettingKey &row)
{
    if (row.kind == Kind::routing)
        return settings.routing_per_subtree ? "per-subtree" : "single";
    const SettingKey::Field &field = row.field;
    return std::visit(
        [&](auto member) -> std::string {
            using Field = decltype(member);
            const auto &value = settings.*member;
            if constexpr (std::is_same_v<Field, std::int32_t Settings::*>) {
                return std::to_string(value);
            } else if constexpr (std::is_same_v<Field, bool Settings::*>) {
                return value ? "TRUE" : "FALSE";
            } else if constexpr (std::is_same_v<Field, std::string Settings::*>) {
                return value;
            } else if constexpr (std::is_same_v<Field, std::vector<std::string> Settings::*>) {
                std::string joined;
                for (const auto &item : value)
                    joined += (joined.empty() ? "" : ",") + item;
                return joined;
            } else {
                return value.value_or("");
            }
        },
        field);
}

} // namespace

std::vector<std::pair<std::string, std::string>> settings_shown(const Settings &settings)
{
    std::vector<std::pair<std::string, std::string>> shown;
    for (const auto &row : kKeys) {
        if (row.monitor_name.empty())
            continue;
        if (row.kind == Kind::dn_each) {
            for (const auto &value : settings.*std::get<std::vector<std::string> Settings::*>(row.field))
                shown.emplace_back(row.monitor_name, value);
            continue;
        }
        shown.emplace_back(row.monitor_name, shown_value(settings, row));
    }
    return shown;
}

std::optional<std::vector<BrokerNode>> broker_nodes(std::string_view hosts, int default_port)
{
    std::vector<BrokerNode> nodes;
    const auto items = list_value(hosts);
    if (!items)
        return std::nullopt;
    for (const std::string_view item : *items) {
        BrokerNode node{std::string(item), default_port};
        // The port follows the last colon, unless that colon is inside an
        // IPv6 address: "[::1]:5671", or a bare "::1".
        const auto colon = item.rfind(':');
        const bool bracketed = item.front() == '[';
        const auto bracket = item.rfind(']');
        if (bracketed && bracket == std::string_view::npos)
            return std::nullopt;
        const bool has_port = colon != std::string_view::npos &&
                              (bracketed ? colon == bracket + 1 : item.find(':') == colon);
        std::string_view host = item;
        if (has_port) {
            const auto port = whole_number(item.substr(colon + 1), 65535);
            if (!port)
                return std::nullopt;
            node.port = *port;
            host = item.substr(0, colon);
        }
        if (bracketed)
            host = host.substr(1, host.size() - 2);
        if (host.empty())
            return std::nullopt;
        node.host = std::string(host);
        nodes.push_back(std::move(node));
    }
    return nodes;
}

} // namespace dirmirror
