#pragma once
// Which of an entry's attributes, and which of their values, may leave the
// directory. Free of the directory server's types.

#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace dirmirror {

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
