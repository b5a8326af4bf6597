#pragma once
// Reading DNs as text: their RDNs, their parent, and the ASCII comparisons
// the directory applies to them. Free of the directory server's types.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace dirmirror {

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

/* The DN without its first RDN (escaped commas respected); empty for a
 * single RDN. */
std::string_view parent_dn(std::string_view dn);

/* A byte in lower case when it is an ASCII letter; any other byte as it is. */
char ascii_lower(char c);

/* Case-insensitive for ASCII letters only; every other byte must be equal. */
bool contains_ascii_case_insensitive(std::string_view haystack, std::string_view needle);

} // namespace dirmirror
