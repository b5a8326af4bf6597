#include "attribute_filter.h"

#include <algorithm>
#include <iterator>

#include "dn.h"

namespace dirmirror {

namespace {

/* What the backend keeps in its own copy of an entry, which events are built
 * from, and a client never reads as data. */
constexpr std::string_view kBackendBookkeeping[] = {
    "entryid",         "parentid",          "entrydn",
    "dsEntryDN",       "entryUUID",         "numSubordinates",
    "hasSubordinates", "tombstoneNumSubordinates",
};

/* Whether `type` is `name` itself or one of its subtypes ("name;binary"),
 * ignoring case. */
bool names(std::string_view type, std::string_view name)
{
    if (type.size() < name.size() || (type.size() > name.size() && type[name.size()] != ';'))
        return false;
    return std::equal(name.begin(), name.end(), type.begin(),
                      [](char a, char b) { return ascii_lower(a) == ascii_lower(b); });
}

} // namespace

AttributeFilter::AttributeFilter(std::span<const std::string> excluded, bool publish_secrets)
    : publish_secrets_(publish_secrets)
{
    for (std::string type : excluded) {
        std::transform(type.begin(), type.end(), type.begin(), ascii_lower);
        excluded_.push_back(std::move(type));
    }
}

AttributeFilter::Verdict AttributeFilter::verdict(std::string_view type) const
{
    auto named = [type](std::string_view name) { return names(type, name); };
    if (named("unhashed#user#password") ||
        std::any_of(std::begin(kBackendBookkeeping), std::end(kBackendBookkeeping), named))
        return Verdict::never;
    if (std::any_of(excluded_.begin(), excluded_.end(), named) ||
        (!publish_secrets_ &&
         std::any_of(std::begin(kPasswordEquivalents), std::end(kPasswordEquivalents), named)))
        return Verdict::hide_values;
    return Verdict::publish;
}

std::vector<std::string_view> AttributeFilter::secrets_held_back() const
{
    std::vector<std::string_view> held;
    if (publish_secrets_)
        return held;
    for (const auto secret : kPasswordEquivalents)
        if (std::none_of(excluded_.begin(), excluded_.end(),
                         [secret](const std::string &excluded) { return names(secret, excluded); }))
            held.push_back(secret);
    return held;
}

} // namespace dirmirror
