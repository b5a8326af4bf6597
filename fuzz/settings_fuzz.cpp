// The settings reader on arbitrary bytes, as a file: it must never crash,
// give the same answer twice, accept only settings the plug-in can use,
// name a key or a line in every error, and never show the password.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "settings.h"

namespace {

[[noreturn]] void fail(const char *what, std::string_view detail)
{
    std::fprintf(stderr, "settings fuzz: %s: \"%.*s\"\n", what, static_cast<int>(detail.size()),
                 detail.data());
    std::abort();
}

/* The input as a file without touching the disk: a memory file, rewritten
 * for each input and opened again by its /proc path. */
const char *memory_file(const uint8_t *data, size_t size)
{
    static const int fd = memfd_create("dirmirror-settings", 0);
    static const std::string path = "/proc/self/fd/" + std::to_string(fd);
    if (fd < 0 || ftruncate(fd, 0) != 0 ||
        (size > 0 && pwrite(fd, data, size, 0) != static_cast<ssize_t>(size))) {
        std::perror("settings fuzz: memory file");
        std::abort();
    }
    return path.c_str();
}

bool names_a_key_or_line(const std::string &error)
{
    if (error.find("строк") != std::string::npos || error.find("Строк") != std::string::npos)
        return true;
    for (const auto &row : dirmirror::setting_keys())
        if (error.find(row.key) != std::string::npos)
            return true;
    return false;
}

/* The input with every password value changed byte for byte (blanks aside,
 * so that what is empty stays empty): no error may tell them apart. */
std::string other_passwords(std::string_view input)
{
    std::string changed(input);
    for (size_t start = 0; start < changed.size();) {
        auto end = changed.find('\n', start);
        if (end == std::string::npos)
            end = changed.size();
        const auto equals = changed.find('=', start);
        if (equals < end) {
            std::string_view key(changed.data() + start, equals - start);
            while (!key.empty() && (key.front() == ' ' || key.front() == '\t'))
                key.remove_prefix(1);
            while (!key.empty() && (key.back() == ' ' || key.back() == '\t'))
                key.remove_suffix(1);
            if (key == "RABBIT_PASSWORD")
                for (size_t i = equals + 1; i < end; ++i)
                    if (std::string_view(" \t\r\v\f").find(changed[i]) == std::string_view::npos)
                        changed[i] = changed[i] == 'x' ? 'y' : 'x';
        }
        start = end + 1;
    }
    return changed;
}

void check_usable(const dirmirror::Settings &s, std::string_view input)
{
    if (s.host.empty() || s.exchange.empty() || s.routing_key.empty() || s.username.empty() ||
        s.password.empty() || s.vhost.empty())
        fail("accepted settings with a required value empty", input);
    if (s.port < 1 || s.port > 65535 || !dirmirror::broker_nodes(s.host, s.port))
        fail("accepted a port or node the client cannot use", input);
    if (s.tls && !s.cacert)
        fail("accepted TLS without a CA file", input);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string_view input(reinterpret_cast<const char *>(data), size);
    const char *path = memory_file(data, size);
    const auto first = dirmirror::read_settings_file(path);
    const auto again = dirmirror::read_settings_file(path);
    if (first.errors != again.errors || first.settings.has_value() != again.settings.has_value())
        fail("two readings of one file differ", input);
    if (first.settings.has_value() != first.errors.empty())
        fail("settings given with errors, or none without", input);
    if (first.settings)
        check_usable(*first.settings, input);
    for (const auto &error : first.errors)
        if (!names_a_key_or_line(error))
            fail("an error names neither a key nor a line", error);
    const std::string changed = other_passwords(input);
    const auto with_other_passwords = dirmirror::read_settings_file(
        memory_file(reinterpret_cast<const uint8_t *>(changed.data()), changed.size()));
    if (with_other_passwords.errors != first.errors)
        fail("an error depends on the password", input);
    return 0;
}
