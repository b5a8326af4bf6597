#pragma once
// What may leave the directory: the entries (those in the published
// containers) and, of their attributes, which values. Free of the directory
// server's types.

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace dirmirror {

/* Case-insensitive for ASCII letters only; every other byte must be equal. */
bool contains_ascii_case_insensitive(std::string_view haystack, std::string_view needle);

/* How many of `containers` the DN lies in: a DN is in a container when it
 * contains the container's text anywhere, ASCII letters compared without
 * regard to case. A DN in two containers publishes its events twice. */
std::size_t containers_holding(std::string_view dn, std::span<const char *const> containers);

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
