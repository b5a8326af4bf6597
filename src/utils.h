#pragma once

#include <stdint.h>

/* Everything the directory server or an operator's tooling may look up by
 * name is marked with this; the rest of the library stays hidden. */
#define DM_EXPORT __attribute__((visibility("default")))

#define DM_CONFIG_TEXT_SIZE 512

/* Broker settings, filled once at start-up and read-only afterwards. */
typedef struct ConnectionConfig {
    char host[DM_CONFIG_TEXT_SIZE];
    int32_t port;
    char vhost[DM_CONFIG_TEXT_SIZE];
    char exchange[DM_CONFIG_TEXT_SIZE];
    char routingkey[DM_CONFIG_TEXT_SIZE];
    char username[DM_CONFIG_TEXT_SIZE];
    char password[DM_CONFIG_TEXT_SIZE];
    /* RABBIT_HOST may list several nodes: "host[:port],host[:port],...". */
    int32_t tls;                              /* RABBIT_TLS: 1 on, 0 off (default) */
    char cacert[DM_CONFIG_TEXT_SIZE];         /* RABBIT_CACERT */
    char cert[DM_CONFIG_TEXT_SIZE];           /* RABBIT_CERT */
    char key[DM_CONFIG_TEXT_SIZE];            /* RABBIT_KEY */
    int32_t verify_hostname;                  /* RABBIT_VERIFY_HOSTNAME: 1 (default) or 0 */
    char exclude_attributes[DM_CONFIG_TEXT_SIZE]; /* EXCLUDE_ATTRIBUTES, default empty */
    int32_t publish_replicated; /* PUBLISH_REPLICATED: 1 (default) or 0 */
    int32_t publish_internal;   /* PUBLISH_INTERNAL: 1 or 0 (default) */
} ConnectionConfig;

#ifdef __cplusplus
extern "C" {
#endif

/* Where the plug-in reads its settings. */
DM_EXPORT extern const char *path_to_config;

/* Sets the defaults, then applies every line of the file at `path`.
 * 0 when the file was read, -1 (logged) when it can't be opened. */
DM_EXPORT int initialize_config(ConnectionConfig *config, const char *path);

/* Applies one "RABBIT_KEY = value" line; anything else is ignored. Always 0. */
DM_EXPORT int set_config_fields(ConnectionConfig *config, const char *line);

/* Formats into a newly allocated text stored in *text; the previous text is
 * left alone, so it may be one of the arguments. Returns the length, -1 when
 * out of memory (*text is then NULL), or the formatter's negative result
 * (*text unchanged). */
DM_EXPORT int dm_str_format(char **text, const char *format, ...)
    __attribute__((format(printf, 2, 3)));

#ifdef __cplusplus
}

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace dirmirror {
/* Writes a failure or warning to the server's error log, and keeps it as the
 * monitor entry's last error. */
void log_failure(const char *subsystem, const char *format, ...) noexcept
    __attribute__((format(printf, 2, 3)));
} // namespace dirmirror

/* One line in the server's error log: something went wrong. */
#define DM_LOG(subsystem, format, ...)                                                             \
    ::dirmirror::log_failure(subsystem, format __VA_OPT__(, ) __VA_ARGS__)
/* One line in the server's error log that reports no failure. The server's
 * header declares the logger with non-const texts; it does not write to them. */
#define DM_LOG_NOTE(subsystem, format, ...)                                                        \
    slapi_log_error(SLAPI_LOG_FATAL, const_cast<char *>(subsystem),                                \
                    const_cast<char *>(format) __VA_OPT__(, ) __VA_ARGS__)

namespace dirmirror {

/* Event texts. DNs, types and values are written as JSON strings, so any
 * bytes the directory holds give a valid one-line UTF-8 JSON event. */

/* One attribute of an added entry, pointing into the host's memory. */
struct AttributeValues {
    std::string_view type;
    std::vector<std::string_view> values;
};

/* Whether the settings file gave this text setting a value. */
bool setting_is_set(const char *setting);

/* One broker node of RABBIT_HOST. */
struct BrokerNode {
    std::string host;
    int port;
};

/* The nodes of a comma-separated "host[:port]" list ("[v6-address]:port" too);
 * a node without a port takes `default_port`. Empty items are skipped. */
std::vector<BrokerNode> broker_nodes(std::string_view hosts, int default_port);

/* Decides what of an attribute may leave the directory. */
class AttributeFilter {
  public:
    enum class Verdict {
        publish,     // type and values
        hide_values, // listed in EXCLUDE_ATTRIBUTES: a modify names it, an add leaves it out
        never,       // the server's internal carrier of clear-text passwords
    };
    // `excluded`: comma-separated attribute types; each covers its subtypes.
    explicit AttributeFilter(std::string_view excluded = {});
    Verdict verdict(std::string_view type) const;

  private:
    std::vector<std::string> excluded_; // lower case
};

/* Appends `bytes` as a JSON string: escaped, invalid UTF-8 replaced by U+FFFD. */
void append_json_string(std::string &out, std::string_view bytes);

/* Case-insensitive for ASCII letters only; every other byte must be equal. */
bool contains_ascii_case_insensitive(std::string_view haystack, std::string_view needle);

/* "ADD", "DELETE", "REPLACE" or "NO OPERATION", by the code without 0x80. */
const char *modify_op_name(int mod_op);

std::string delete_event_text(std::string_view dn);
std::string modify_event_text(int index, std::string_view dn, int mod_op, std::string_view type,
                              std::span<const std::string_view> values);
std::string add_event_text(std::string_view dn, std::span<const AttributeValues> attributes);

/* A rename or move: `attributes` are the entry's after it. */
struct Rename {
    std::string_view old_dn, new_dn, new_rdn;
    bool delete_old_rdn = false;
    std::optional<std::string_view> new_superior; // when the client gave one
};
std::string modrdn_event_text(const Rename &rename, std::span<const AttributeValues> attributes);

/* The DN without its first RDN (escaped commas respected); empty for a
 * single RDN. */
std::string_view parent_dn(std::string_view dn);

} // namespace dirmirror
#endif
