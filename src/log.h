#pragma once
// Lines in the directory server's error log. Every line is written at level 0
// (the server shows it as ERR), whatever its weight.

namespace dirmirror {

/* Something went wrong: the line is also kept as the monitor entry's last
 * error. */
void log_failure(const char *subsystem, const char *format, ...) noexcept
    __attribute__((format(printf, 2, 3)));

/* A line that reports no failure, such as the start-up notice. */
void log_note(const char *subsystem, const char *format, ...) noexcept
    __attribute__((format(printf, 2, 3)));

} // namespace dirmirror
