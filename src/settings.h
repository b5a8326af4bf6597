#pragma once
// The plug-in's settings. One table of keys drives reading the settings file,
// the defaults, and what the monitor entry lists; a new setting is one row
// and one field. Free of the directory server's types.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace dirmirror {

/* The settings in effect, read once at start-up. An unset text is nullopt. */
struct Settings {
    std::optional<std::string> host;
    std::int32_t port = 0;
    std::optional<std::string> vhost, exchange, routing_key, username, password;
    bool tls = false;
    std::optional<std::string> cacert, cert, key;
    bool verify_hostname = true;
    std::string exclude_attributes; // comma-separated types; empty: none
    bool publish_replicated = true;
    bool publish_internal = true;
};

/* One row of the settings table. */
struct SettingKey {
    enum class Kind { text, secret, number, on_off, list };
    using Field = std::variant<std::optional<std::string> Settings::*, std::int32_t Settings::*,
                               bool Settings::*, std::string Settings::*>;
    std::string_view key;          // in the settings file
    Kind kind;
    std::string_view if_missing;   // the default, as the documentation writes it
    std::string_view monitor_name; // the monitor entry's attribute; empty: never shown
    Field field;
};

/* Every setting, in the order the reader tries them. */
std::span<const SettingKey> setting_keys();

/* Applies one line of a settings file: "KEY = value", the key at the very
 * start of the line. The first key the line starts with decides; the value
 * is the next run of non-blank bytes. Anything else leaves `settings` as it
 * is. */
void apply_setting_line(Settings &settings, const char *line);

/* The settings of the file at `path`, each line applied in turn (a line
 * longer than 511 bytes in pieces of 511); nullopt when it can't be opened. */
std::optional<Settings> read_settings_file(const char *path);

/* The settings as the monitor entry lists them: (attribute, value) in table
 * order; an unset text is empty, a switch TRUE or FALSE; never the password. */
std::vector<std::pair<std::string, std::string>> settings_shown(const Settings &settings);

/* One broker node of RABBIT_HOST. */
struct BrokerNode {
    std::string host;
    int port;
};

/* The nodes of a comma-separated "host[:port]" list ("[v6-address]:port" too);
 * a node without a port takes `default_port`. Empty items are skipped. */
std::vector<BrokerNode> broker_nodes(std::string_view hosts, int default_port);

} // namespace dirmirror
