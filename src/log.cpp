#include "log.h"

#include <slapi-plugin.h>

#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <new>
#include <string>

#include "plugin.h"

namespace dirmirror {

namespace {

/* Formats into `buffer`, or into `longer` when the text does not fit there,
 * and returns the text: a line is never cut short. */
const char *format_line(char (&buffer)[2048], std::string &longer, const char *format,
                        va_list arguments) noexcept
{
    va_list again;
    va_copy(again, arguments);
    const int length = std::vsnprintf(buffer, sizeof buffer, format, arguments);
    const char *text = buffer;
    if (length >= static_cast<int>(sizeof buffer)) {
        try {
            longer.resize(static_cast<std::size_t>(length));
            std::vsnprintf(longer.data(), longer.size() + 1, format, again);
            text = longer.c_str();
        } catch (const std::bad_alloc &) {
            // The first 2047 bytes will do.
        }
    }
    va_end(again);
    return text;
}

/* Writes one line and hands its text to `then`. A buffer on the stack
 * first: this also reports running out of memory. */
template <typename Then>
void write_formatted(const char *subsystem, const char *format, va_list arguments,
                     Then &&then) noexcept
{
    char buffer[2048];
    std::string longer;
    const char *text = format_line(buffer, longer, format, arguments);
    // The server's header declares the logger with non-const texts; it does
    // not write to them.
    slapi_log_error(SLAPI_LOG_FATAL, const_cast<char *>(subsystem), const_cast<char *>("%s"),
                    const_cast<char *>(text));
    then(text);
}

} // namespace

void log_failure(const char *subsystem, const char *format, ...) noexcept
{
    va_list arguments;
    va_start(arguments, format);
    write_formatted(subsystem, format, arguments, [](const char *text) {
        if (Plugin *plugin = Plugin::current())
            plugin->monitor().failure(text, std::time(nullptr));
    });
    va_end(arguments);
}

void log_note(const char *subsystem, const char *format, ...) noexcept
{
    va_list arguments;
    va_start(arguments, format);
    write_formatted(subsystem, format, arguments, [](const char *) {});
    va_end(arguments);
}

} // namespace dirmirror
