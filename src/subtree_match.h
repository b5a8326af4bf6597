#pragma once
// Which of the published subtrees holds a DN. With SUBTREE set the directory
// decides, as for its own suffixes: DNs normalised, compared without regard
// to case, on RDN boundaries, the base itself included. Without it the five
// containers keep their rule: a DN lies in a container when it contains the
// container's text anywhere, ASCII letters compared without regard to case.

#include <slapi-plugin.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "subtree.h"

namespace dirmirror {

class SubtreeMatch {
  public:
    // `bases`: SUBTREE's DNs, already checked; none: the five containers.
    explicit SubtreeMatch(const std::vector<std::string> &bases);
    ~SubtreeMatch();
    SubtreeMatch(const SubtreeMatch &) = delete;
    SubtreeMatch &operator=(const SubtreeMatch &) = delete;

    // The routing names of the subtrees holding `dn`, one per copy of its
    // events: every container whose text it contains (a DN in two publishes
    // twice), or the deepest SUBTREE base above it.
    std::vector<std::string_view> holding(std::string_view dn) const;
    // Whether any does; asked for every write inside its transaction, so it
    // stops at the first and allocates nothing for the containers.
    bool holds(std::string_view dn) const;
    // SUBTREE's bases, or the five containers.
    const std::vector<Subtree> &subtrees() const { return subtrees_; }
    bool by_text() const { return by_text_; }

  private:
    // SUBTREE's deepest base holding `dn`, as an index into subtrees_.
    std::optional<std::size_t> deepest_base(std::string_view dn) const;

    const bool by_text_;
    std::vector<Subtree> subtrees_;
    std::vector<Slapi_DN *> bases_;   // of SUBTREE, beside subtrees_
    std::vector<std::size_t> depths_; // RDNs of each base
};

} // namespace dirmirror
