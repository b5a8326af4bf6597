#include "attribute_filter.h"

#include <algorithm>
#include <iterator>

#include "dn.h"

namespace dirmirror {

namespace {

/* What the backend keeps in its own copy of an entry and a client never
 * reads as data: a rename hands the plug-in that copy, an add does not. */
constexpr std::string_view kBackendBookkeeping[] = {
    "entryid",         "parentid",          "entrydn",
    "dsEntryDN",       "entryUUID",         "numSubordinates",
    "hasSubordinates", "tombstoneNumSubordinates",
};

} // namespace

AttributeFilter::AttributeFilter(std::span<const std::string> excluded)
{
    for (std::string type : excluded) {
        std::transform(type.begin(), type.end(), type.begin(), ascii_lower);
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
    if (names("unhashed#user#password") ||
        std::any_of(std::begin(kBackendBookkeeping), std::end(kBackendBookkeeping), names))
        return Verdict::never;
    for (const auto &excluded : excluded_)
        if (names(excluded))
            return Verdict::hide_values;
    return Verdict::publish;
}

} // namespace dirmirror
