#include "dn.h"

#include <algorithm>
#include <cctype>

namespace dirmirror {

namespace {

bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

bool is_hex(char c)
{
    return is_digit(c) || (ascii_lower(c) >= 'a' && ascii_lower(c) <= 'f');
}

int hex_value(char c)
{
    return is_digit(c) ? c - '0' : ascii_lower(c) - 'a' + 10;
}

/* Reads a DN left to right; each call takes what it parses off `rest_`. */
class DnReader {
  public:
    explicit DnReader(std::string_view dn) : rest_(dn) {}

    std::optional<std::vector<Rdn>> rdns()
    {
        std::vector<Rdn> rdns;
        skip_blanks();
        if (rest_.empty())
            return std::nullopt;
        for (;;) {
            auto first = attribute();
            if (!first)
                return std::nullopt;
            rdns.push_back(std::move(*first));
            while (take('+')) // the other values of a multi-valued RDN
                if (!attribute())
                    return std::nullopt;
            if (rest_.empty())
                return rdns;
            if (!take(',') && !take(';'))
                return std::nullopt;
        }
    }

  private:
    std::optional<Rdn> attribute()
    {
        skip_blanks();
        Rdn rdn;
        // A name (a letter, then letters, digits, hyphens) or a numeric OID.
        const bool numeric = !rest_.empty() && is_digit(rest_.front());
        while (!rest_.empty() && (numeric ? is_digit(rest_.front()) || rest_.front() == '.'
                                          : std::isalnum(static_cast<unsigned char>(rest_.front())) ||
                                                rest_.front() == '-')) {
            rdn.type += rest_.front();
            rest_.remove_prefix(1);
        }
        if (rdn.type.empty() || (!numeric && is_digit(rdn.type.front())) ||
            rdn.type.back() == '.')
            return std::nullopt;
        skip_blanks();
        if (!take('='))
            return std::nullopt;
        skip_blanks();
        const auto value = rest_.starts_with('#')   ? hex_value_string()
                           : rest_.starts_with('"') ? quoted_value()
                                                    : plain_value();
        if (!value || value->empty())
            return std::nullopt;
        rdn.value = *value;
        skip_blanks();
        return rdn;
    }

    std::optional<std::string> plain_value()
    {
        std::string value;
        std::size_t kept = 0; // the value's length without its unescaped trailing blanks
        while (!rest_.empty() && rest_.front() != ',' && rest_.front() != ';' && rest_.front() != '+') {
            const char c = rest_.front();
            rest_.remove_prefix(1);
            if (c == '"' || c == '<' || c == '>')
                return std::nullopt; // must be escaped
            if (c == '\\') {
                const auto escaped = escape();
                if (!escaped)
                    return std::nullopt;
                value += *escaped;
                kept = value.size();
            } else {
                value += c;
                if (c != ' ')
                    kept = value.size();
            }
        }
        value.resize(kept);
        return value;
    }

    std::optional<std::string> quoted_value()
    {
        rest_.remove_prefix(1);
        std::string value;
        while (!rest_.empty() && rest_.front() != '"') {
            const char c = rest_.front();
            rest_.remove_prefix(1);
            if (c != '\\') {
                value += c;
            } else if (const auto escaped = escape()) {
                value += *escaped;
            } else {
                return std::nullopt;
            }
        }
        if (!take('"'))
            return std::nullopt;
        return value;
    }

    std::optional<std::string> hex_value_string()
    {
        rest_.remove_prefix(1);
        std::string value;
        while (rest_.size() >= 2 && is_hex(rest_[0]) && is_hex(rest_[1])) {
            value += static_cast<char>(hex_value(rest_[0]) * 16 + hex_value(rest_[1]));
            rest_.remove_prefix(2);
        }
        if (!rest_.empty() && is_hex(rest_.front()))
            return std::nullopt; // an odd number of digits
        return value;
    }

    // After a backslash: a special character, or two hexadecimal digits.
    std::optional<char> escape()
    {
        if (rest_.size() >= 2 && is_hex(rest_[0]) && is_hex(rest_[1])) {
            const char c = static_cast<char>(hex_value(rest_[0]) * 16 + hex_value(rest_[1]));
            rest_.remove_prefix(2);
            return c;
        }
        if (!rest_.empty() && std::string_view(" \"#+,;<=>\\").find(rest_.front()) != std::string_view::npos) {
            const char c = rest_.front();
            rest_.remove_prefix(1);
            return c;
        }
        return std::nullopt;
    }

    bool take(char c)
    {
        if (rest_.empty() || rest_.front() != c)
            return false;
        rest_.remove_prefix(1);
        return true;
    }

    void skip_blanks()
    {
        while (!rest_.empty() && rest_.front() == ' ')
            rest_.remove_prefix(1);
    }

    std::string_view rest_;
};

} // namespace

char ascii_lower(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

std::optional<std::vector<Rdn>> parse_dn(std::string_view dn)
{
    return DnReader(dn).rdns();
}

std::string_view parent_dn(std::string_view dn)
{
    for (size_t i = 0; i < dn.size(); ++i) {
        if (dn[i] == '\\')
            ++i; // an escaped character, a comma among them
        else if (dn[i] == ',')
            return dn.substr(i + 1);
    }
    return {};
}

bool contains_ascii_case_insensitive(std::string_view haystack, std::string_view needle)
{
    return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end(),
                       [](char a, char b) { return ascii_lower(a) == ascii_lower(b); }) !=
           haystack.end();
}

} // namespace dirmirror
