#pragma once
// The JSON text of each kind of change event. DNs, types and values are
// written as JSON strings, so any bytes the directory holds give a valid
// one-line UTF-8 JSON event. Free of the directory server's types.

#include <cstdarg>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace dirmirror {

/* One attribute of an entry, pointing into the host's memory. */
struct AttributeValues {
    std::string_view type;
    std::vector<std::string_view> values;
};

/* Appends `bytes` as a JSON string: escaped, invalid UTF-8 replaced by
 * U+FFFD; true when something was replaced. */
bool append_json_string(std::string &out, std::string_view bytes);

/* The values an event could not carry as they are (not UTF-8: U+FFFD took
 * the place of their bad bytes), counted by attribute type. */
struct Replacements {
    std::vector<std::pair<std::string, std::size_t>> by_type;
    void add(std::string_view type);
};

/* "ADD", "DELETE", "REPLACE" or "NO OPERATION", by the code without 0x80. */
const char *modify_op_name(int mod_op);

std::string delete_event_text(std::string_view dn);
/* `replaced`, when given, hears of the values written with U+FFFD. */
std::string modify_event_text(int index, std::string_view dn, int mod_op, std::string_view type,
                              std::span<const std::string_view> values,
                              Replacements *replaced = nullptr);
std::string add_event_text(std::string_view dn, std::span<const AttributeValues> attributes,
                           Replacements *replaced = nullptr);

/* A rename or move: `attributes` are the entry's after it. */
struct Rename {
    std::string_view old_dn, new_dn, new_rdn;
    bool delete_old_rdn = false;
    std::optional<std::string_view> new_superior; // when the client gave one
};
std::string modrdn_event_text(const Rename &rename, std::span<const AttributeValues> attributes,
                              Replacements *replaced = nullptr);

/* The DN an event names first (a rename's old one), unescaped; nullopt for
 * a text that is no event. */
std::optional<std::string> event_dn(std::string_view text);

/* Formats into a newly allocated (malloc) text stored in *text; the previous
 * text is left alone, so it may be one of the arguments. Returns the length,
 * -1 when out of memory (*text is then NULL), or the formatter's negative
 * result (*text unchanged). */
int format_new_text(char **text, const char *format, va_list arguments);

} // namespace dirmirror
