#include "subtree_match.h"

#include <algorithm>

namespace dirmirror {

SubtreeMatch::SubtreeMatch(const std::vector<std::string> &bases) : by_text_(bases.empty())
{
    if (by_text_) {
        subtrees_ = default_containers();
        return;
    }
    for (const auto &base : bases) {
        const auto rdns = parse_dn(base);
        if (!rdns)
            continue; // the settings reader refused it already
        subtrees_.push_back({base, routing_name(rdns->front())});
        bases_.push_back(slapi_sdn_new_dn_byval(base.c_str()));
        // The server normalises a DN the first time it is compared, writing
        // into it: done here, before handlers on many threads compare.
        slapi_sdn_get_ndn(bases_.back());
        depths_.push_back(rdns->size());
    }
}

SubtreeMatch::~SubtreeMatch()
{
    for (Slapi_DN *base : bases_)
        slapi_sdn_free(&base);
}

std::optional<std::size_t> SubtreeMatch::deepest_base(std::string_view dn) const
{
    const std::string text(dn);
    Slapi_DN *sdn = slapi_sdn_new_dn_byref(text.c_str());
    std::optional<std::size_t> deepest;
    for (std::size_t i = 0; i < bases_.size(); ++i)
        if ((!deepest || depths_[i] > depths_[*deepest]) && slapi_sdn_issuffix(sdn, bases_[i]))
            deepest = i;
    slapi_sdn_free(&sdn);
    return deepest;
}

std::vector<std::string_view> SubtreeMatch::holding(std::string_view dn) const
{
    std::vector<std::string_view> names;
    if (by_text_) {
        for (const auto &container : subtrees_)
            if (contains_ascii_case_insensitive(dn, container.base))
                names.push_back(container.name);
    } else if (const auto base = deepest_base(dn)) {
        names.push_back(subtrees_[*base].name);
    }
    return names;
}

bool SubtreeMatch::holds(std::string_view dn) const
{
    if (!by_text_)
        return deepest_base(dn).has_value();
    return std::any_of(subtrees_.begin(), subtrees_.end(), [dn](const Subtree &container) {
        return contains_ascii_case_insensitive(dn, container.base);
    });
}

} // namespace dirmirror
