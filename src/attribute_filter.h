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
        hide_values, // listed in EXCLUDE_ATTRIBUTES, or a password-equivalent secret:
                     // a modify names it, an add leaves it out
        never,       // the server's internal carrier of clear-text passwords, and what
                     // the backend keeps only in its own copy of an entry
    };
    // `excluded`: attribute types; each covers its subtypes. The
    // password-equivalent secrets are held back too unless `publish_secrets`.
    explicit AttributeFilter(std::span<const std::string> excluded = {},
                             bool publish_secrets = false);
    Verdict verdict(std::string_view type) const;
    // The secrets held back that EXCLUDE_ATTRIBUTES does not name.
    std::vector<std::string_view> secrets_held_back() const;

  private:
    std::vector<std::string> excluded_; // lower case
    bool publish_secrets_;
};

/* Attributes whose values are as good as a password (keys, NT hashes, old
 * password hashes, private keys, OTP seeds): never published unless asked
 * for. The current userPassword hash is not among them: consumers that
 * synchronise passwords need it. */
inline constexpr std::string_view kPasswordEquivalents[] = {
    "krbPrincipalKey", "krbPwdHistory",        "krbMKey",         "ipaNTHash",
    "sambaNTPassword", "sambaLMPassword",      "sambaPasswordHistory", "passwordHistory",
    "userPKCS12",      "ipatokenOTPkey",       "ipaSecretKey",
};

} // namespace dirmirror
