#pragma once
// The parts of the directory whose changes are published: the five default
// containers, or SUBTREE's bases, and the name each gives its routing key.
// Free of the directory server's types.

#include <string>
#include <string_view>
#include <vector>

#include "dn.h"

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

/* The routing name of a SUBTREE base: its first RDN's value in lower case,
 * each character outside [a-z0-9_-] written as '_'. */
std::string routing_name(const Rdn &first);

} // namespace dirmirror
