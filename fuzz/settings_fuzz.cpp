// The settings reader on arbitrary bytes: each line through set_config_fields,
// then the whole input as a settings file through initialize_config. Both are
// compared with a small model of the "RABBIT_KEY = value" format, and every
// text field must stay NUL-terminated inside its buffer.
#include <sys/mman.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "utils.h"

namespace {

using Text = char (ConnectionConfig::*)[DM_CONFIG_TEXT_SIZE];

struct Key {
    std::string_view name;
    Text text; // nullptr: the port
};

constexpr Key kKeys[] = {
    {"RABBIT_HOST", &ConnectionConfig::host},
    {"RABBIT_PORT", nullptr},
    {"RABBIT_VHOST", &ConnectionConfig::vhost},
    {"RABBIT_EXCHANGE", &ConnectionConfig::exchange},
    {"RABBIT_ROUTINGKEY", &ConnectionConfig::routingkey},
    {"RABBIT_USERNAME", &ConnectionConfig::username},
    {"RABBIT_PASSWORD", &ConnectionConfig::password},
};

[[noreturn]] void fail(const char *what, std::string_view line)
{
    std::fprintf(stderr, "settings fuzz: %s; line (%zu bytes): \"%.*s\"\n", what, line.size(),
                 static_cast<int>(line.size()), line.data());
    std::abort();
}

std::string_view text_of(const ConnectionConfig &c, Text field)
{
    return {c.*field, strnlen(c.*field, DM_CONFIG_TEXT_SIZE)};
}

void check_terminated(const ConnectionConfig &c, std::string_view line)
{
    for (const auto &key : kKeys)
        if (key.text != nullptr && std::memchr(c.*key.text, 0, DM_CONFIG_TEXT_SIZE) == nullptr)
            fail("a text field lost its terminating zero byte", line);
}

bool blank(char c)
{
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

/* What one line (a C string) should do to `model`: the key must start the
 * line, then blanks, '=', blanks and the value; a text value is the next
 * 511 non-blank bytes, a port a decimal number that fits an int32. */
void apply_model(ConnectionConfig &model, std::string_view line)
{
    for (const auto &key : kKeys) {
        if (!line.starts_with(key.name))
            continue;
        size_t at = key.name.size();
        while (at < line.size() && blank(line[at]))
            ++at;
        if (at == line.size() || line[at] != '=')
            return;
        ++at;
        if (key.text == nullptr) {
            const std::string rest(line.substr(at));
            char *end = nullptr;
            errno = 0;
            const long long value = std::strtoll(rest.c_str(), &end, 10);
            if (end != rest.c_str() && value >= INT32_MIN && value <= INT32_MAX)
                model.port = static_cast<int32_t>(value);
            return;
        }
        while (at < line.size() && blank(line[at]))
            ++at;
        size_t end = at;
        while (end < line.size() && end - at < DM_CONFIG_TEXT_SIZE - 1 && !blank(line[end]))
            ++end;
        if (end > at) {
            std::memset(model.*key.text, 0, DM_CONFIG_TEXT_SIZE);
            std::memcpy(model.*key.text, line.data() + at, end - at);
        }
        return;
    }
}

void expect_same(const ConnectionConfig &got, const ConnectionConfig &want, std::string_view line)
{
    check_terminated(got, line);
    if (got.port != want.port)
        fail("port differs from the model", line);
    for (const auto &key : kKeys)
        if (key.text != nullptr && text_of(got, key.text) != text_of(want, key.text))
            fail("text field differs from the model", line);
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

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string_view input(reinterpret_cast<const char *>(data), size);

    // Line by line, each piece between line feeds as a C string, then the
    // whole input as one (line feeds and all, up to its first zero byte).
    ConnectionConfig config{};
    for (const auto &key : kKeys)
        if (key.text != nullptr)
            std::memcpy(config.*key.text, "start", sizeof "start");
    config.port = 4242;
    ConnectionConfig model = config;
    for (size_t start = 0; start <= input.size();) {
        size_t end = input.find('\n', start);
        if (end == std::string_view::npos)
            end = input.size();
        const std::string line(input.substr(start, end - start));
        if (set_config_fields(&config, line.c_str()) != 0)
            fail("set_config_fields returned non-zero", line);
        apply_model(model, std::string_view(line.c_str()));
        expect_same(config, model, line);
        start = end + 1;
    }
    const std::string whole(input);
    set_config_fields(&config, whole.c_str());
    apply_model(model, std::string_view(whole.c_str()));
    expect_same(config, model, whole);

    // The whole input as a file: read in pieces of at most 511 bytes, each
    // ending at a line feed or where the buffer is full, as fgets gives them.
    std::memset(&config, 0x5a, sizeof config);
    if (initialize_config(&config, memory_file(data, size)) != 0)
        fail("initialize_config could not read the file", {});
    std::memset(&model, 0, sizeof model);
    for (const auto &key : kKeys)
        if (key.text != nullptr)
            std::memcpy(model.*key.text, "<unset>", sizeof "<unset>");
    for (size_t start = 0; start < input.size();) {
        size_t end = start;
        while (end < input.size() && end - start < DM_CONFIG_TEXT_SIZE - 1 && input[end] != '\n')
            ++end;
        if (end < input.size() && input[end] == '\n' && end - start < DM_CONFIG_TEXT_SIZE - 1)
            ++end;
        const std::string piece(input.substr(start, end - start));
        apply_model(model, std::string_view(piece.c_str()));
        start = end;
    }
    expect_same(config, model, input);
    return 0;
}
