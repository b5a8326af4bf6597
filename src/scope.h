#pragma once
// What may leave the directory: the entries (those in the published
// containers) and, of their attributes, which values. Free of the directory
// server's types.

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace dirmirror {

/* A part of the directory whose changes are published, and the name that
 * ends its routing key when each has its own. */
struct Subtree {
    std::string base; // a DN; for the five default containers, the text a DN must contain
    std::string name;
};

/* The five containers published when SUBTREE is not set. */
inline constexpr const char *kDefaultContainerTexts[] = {
    "cn=users,cn=accounts",  "cn=computers,cn=accounts",  "cn=orgunits,cn=accounts",
    "cn=groups,cn=accounts", "cn=hostgroups,cn=accounts",
};
std::vector<Subtree> default_containers();

/* The routing name control messages go out under; no subtree may take it. */
inline constexpr std::string_view kControlRoutingName = "control";

/* One relative distinguished name: its first attribute type and value, the
 * value unescaped. */
struct Rdn {
    std::string type;
    std::string value;
};

/* The RDNs of a DN as RFC 4514 writes it (the directory also takes ';'
 * between RDNs, blanks around them and quoted values), most specific first;
 * nullopt when it does not parse or is empty. */
std::optional<std::vector<Rdn>> parse_dn(std::string_view dn);

/* The routing name of a SUBTREE base: its first RDN's value in lower case,
 * each character outside [a-z0-9_-] written as '_'. */
std::string routing_name(const Rdn &first);

/* Case-insensitive for ASCII letters only; every other byte must be equal. */
bool contains_ascii_case_insensitive(std::string_view haystack, std::string_view needle);

/* Decides what of an attribute may leave the directory. */
class AttributeFilter {
  public:
    enum class Verdict {
        publish,     // type and values
        hide_values, // listed in EXCLUDE_ATTRIBUTES: a modify names it, an add leaves it out
        never,       // the server's internal carrier of clear-text passwords, and what
                     // the backend keeps only in its own copy of an entry
    };
    // `excluded`: attribute types; each covers its subtypes.
    explicit AttributeFilter(std::span<const std::string> excluded = {});
    Verdict verdict(std::string_view type) const;

  private:
    std::vector<std::string> excluded_; // lower case
};

} // namespace dirmirror
