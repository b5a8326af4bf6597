#pragma once
// The plug-in's settings. One table of keys drives reading the settings file,
// the defaults, and what the monitor entry lists; a new setting is one row
// and one field. The reader fails closed: a line it cannot read, a value
// that is not one of a key's values, an unknown key or a missing required
// one is an error naming the key, and the plug-in does not start. Free of
// the directory server's types.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace dirmirror {

/* The settings in effect, read once at start-up. */
struct Settings {
    std::string host; // "host[:port],host[:port],..."
    std::int32_t port = 5672;
    std::string vhost = "/";
    std::string exchange, routing_key, username, password;
    bool tls = false;
    std::optional<std::string> cacert, cert, key;
    bool verify_hostname = true;
    std::vector<std::string> exclude_attributes;
    bool publish_replicated = true;
    bool publish_internal = true;
    bool publish_secrets = false; // the password-equivalent attributes too
    bool wait_for_broker_at_start = false;
    std::int32_t buffer_mb = 256; // what events on their way may hold, in MiB
    std::int32_t max_message_mb = 128; // the largest event the broker takes, in MiB
    std::optional<std::string> monitor_group; // a group DN; none: only the root DN
    std::vector<std::string> subtrees; // base DNs; none: the five default containers
    bool routing_per_subtree = false;  // each subtree's events under a routing key of its own
};

/* One row of the settings table. */
struct SettingKey {
    enum class Kind {
        text,
        secret,
        port,
        number,
        on_off,
        list,    // comma-separated
        dn,
        dn_each, // one DN per line, the key repeated for more
        routing, // single or per-subtree
    };
    using Field = std::variant<std::string Settings::*, std::optional<std::string> Settings::*,
                               std::int32_t Settings::*, bool Settings::*,
                               std::vector<std::string> Settings::*>;
    std::string_view key;          // in the settings file
    Kind kind;
    std::string_view if_missing;   // the default, as the documentation writes it
    std::string_view monitor_name; // the monitor entry's attribute; empty: never shown
    Field field;
    bool required = false;
};

/* Every setting, in the order the documentation lists them. */
std::span<const SettingKey> setting_keys();

/* The longest line the settings file may hold, its line feed aside. */
inline constexpr std::size_t kMaxSettingsLine = 4096;

/* Reads a settings file line by line into Settings. */
class SettingsReader {
  public:
    explicit SettingsReader(Settings start = {}) : settings_(std::move(start)) {}
    // One line, without its line feed; `number` counts from 1.
    void read_line(std::string_view line, int number);
    // Once every line is read: what is missing or inconsistent is added to
    // the errors. The settings are good only when there are none.
    const Settings &finish();
    const std::vector<std::string> &errors() const { return errors_; }
    // The values read so far, unchecked.
    const Settings &settings_so_far() const { return settings_; }

  private:
    void store(const SettingKey &row, std::string_view value, int number);
    void check_required();
    void check_subtree_names();
    Settings settings_;
    std::vector<std::string> errors_;
    std::vector<std::pair<std::string_view, int>> seen_; // key, line
};

/* What reading a settings file gave: the settings when there is no error,
 * and every line the error log shows about it. */
struct SettingsFile {
    std::optional<Settings> settings;
    std::vector<std::string> errors; // each names the key or the line
    std::optional<std::string> warning; // the file is readable by others
};
SettingsFile read_settings_file(const char *path);

/* Applies one line to `settings`: the errors it gives (empty when it was
 * read). */
std::vector<std::string> apply_setting_line(Settings &settings, std::string_view line);

/* The settings as the monitor entry lists them: (attribute, value) in table
 * order; an unset text is empty, a switch TRUE or FALSE, a list joined by
 * commas, a repeated key once per value (none when unset); never the
 * password. */
std::vector<std::pair<std::string, std::string>> settings_shown(const Settings &settings);

/* One broker node of RABBIT_HOST. */
struct BrokerNode {
    std::string host;
    int port;
};

/* The nodes of a comma-separated "host[:port]" list ("[v6-address]:port"
 * too; blanks around items allowed); a node without a port takes
 * `default_port`. nullopt when an item is empty or its port is not one. */
std::optional<std::vector<BrokerNode>> broker_nodes(std::string_view hosts, int default_port);

} // namespace dirmirror
