#include "subtree.h"

#include <iterator>

namespace dirmirror {

std::vector<Subtree> default_containers()
{
    constexpr const char *kNames[] = {"users", "computers", "orgunits", "groups", "hostgroups"};
    static_assert(std::size(kNames) == std::size(kDefaultContainerTexts));
    std::vector<Subtree> containers;
    for (std::size_t i = 0; i < std::size(kNames); ++i)
        containers.push_back({kDefaultContainerTexts[i], kNames[i]});
    return containers;
}

std::string routing_name(const Rdn &first)
{
    std::string name;
    for (const char c : first.value) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte & 0xC0) == 0x80)
            continue; // the rest of a UTF-8 character already written
        const char lower = ascii_lower(c);
        const bool kept = (lower >= 'a' && lower <= 'z') || (lower >= '0' && lower <= '9') || lower == '_' || lower == '-';
        name += kept ? lower : '_';
    }
    return name;
}

} // namespace dirmirror
