// The settings reader on arbitrary bytes: each line through
// apply_setting_line, then the whole input as a settings file through
// read_settings_file. Both are compared with a small model of the
// "RABBIT_KEY = value" format.
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

#include "settings.h"

namespace {

using dirmirror::Settings;
using Text = std::optional<std::string> Settings::*;

struct Key {
    std::string_view name;
    Text text; // nullptr: the port
};

constexpr Key kKeys[] = {
    {"RABBIT_HOST", &Settings::host},
    {"RABBIT_PORT", nullptr},
    {"RABBIT_VHOST", &Settings::vhost},
    {"RABBIT_EXCHANGE", &Settings::exchange},
    {"RABBIT_ROUTINGKEY", &Settings::routing_key},
    {"RABBIT_USERNAME", &Settings::username},
    {"RABBIT_PASSWORD", &Settings::password},
};

// The reader takes a file in pieces of at most this many bytes.
constexpr size_t kPiece = 511;

[[noreturn]] void fail(const char *what, std::string_view line)
{
    std::fprintf(stderr, "settings fuzz: %s; line (%zu bytes): \"%.*s\"\n", what, line.size(),
                 static_cast<int>(line.size()), line.data());
    std::abort();
}

std::string text_of(const Settings &c, Text field)
{
    return (c.*field).value_or("<unset>");
}

bool blank(char c)
{
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

/* What one line (a C string) should do to `model`: the key must start the
 * line, then blanks, '=', blanks and the value; a text value is the next
 * 511 non-blank bytes, a port a decimal number that fits an int32. */
void apply_model(Settings &model, std::string_view line)
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
        while (end < line.size() && end - at < kPiece && !blank(line[end]))
            ++end;
        if (end > at)
            model.*key.text = std::string(line.substr(at, end - at));
        return;
    }
}

void expect_same(const Settings &got, const Settings &want, std::string_view line)
{
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
    Settings config;
    for (const auto &key : kKeys)
        if (key.text != nullptr)
            config.*key.text = "start";
    config.port = 4242;
    Settings model = config;
    for (size_t start = 0; start <= input.size();) {
        size_t end = input.find('\n', start);
        if (end == std::string_view::npos)
            end = input.size();
        const std::string line(input.substr(start, end - start));
        dirmirror::apply_setting_line(config, line.c_str());
        apply_model(model, std::string_view(line.c_str()));
        expect_same(config, model, line);
        start = end + 1;
    }
    const std::string whole(input);
    dirmirror::apply_setting_line(config, whole.c_str());
    apply_model(model, std::string_view(whole.c_str()));
    expect_same(config, model, whole);

    // The whole input as a file: read in pieces of at most 511 bytes, each
    // ending at a line feed or where the buffer is full, as fgets gives them.
    const auto read = dirmirror::read_settings_file(memory_file(data, size));
    if (!read)
        fail("read_settings_file could not read the file", {});
    config = *read;
    model = Settings{};
    for (size_t start = 0; start < input.size();) {
        size_t end = start;
        while (end < input.size() && end - start < kPiece && input[end] != '\n')
            ++end;
        if (end < input.size() && input[end] == '\n' && end - start < kPiece)
            ++end;
        const std::string piece(input.substr(start, end - start));
        apply_model(model, std::string_view(piece.c_str()));
        start = end;
    }
    expect_same(config, model, input);
    return 0;
}
