#include "subtree_match.h"

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
        depths_.push_back(rdns->size());
    }
}

SubtreeMatch::~SubtreeMatch()
{
    for (Slapi_DN *base : bases_)
        slapi_sdn_free(&base);
}

std::vector<std::string_view> SubtreeMatch::holding(std::string_view dn) const
{
    std::vector<std::string_view> names;
    if (by_text_) {
        for (const auto &container : subtrees_)
            if (contains_ascii_case_insensitive(dn, container.base))
                names.push_back(container.name);
        return names;
    }
    const std::string text(dn);
    Slapi_DN *sdn = slapi_sdn_new_dn_byref(text.c_str());
    std::size_t deepest = 0;
    for (std::size_t i = 0; i < bases_.size(); ++i)
        if (depths_[i] > deepest && slapi_sdn_issuffix(sdn, bases_[i])) {
            deepest = depths_[i];
            names.assign(1, subtrees_[i].name);
        }
    slapi_sdn_free(&sdn);
    return names;
}

} // namespace dirmirror
