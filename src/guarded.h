#pragma once
// Everything the directory server calls (and the publisher thread's body)
// runs through guarded(): nothing may unwind into the server.

#include <exception>
#include <new>

#include "log.h"

namespace dirmirror {

/* Runs `body` and turns any exception into a logged -1. */
template <typename Body> int guarded(const char *subsystem, Body &&body) noexcept
{
    try {
        return body();
    } catch (const std::bad_alloc &) {
        log_failure(subsystem, "Не удалось выделить память\n");
    } catch (const std::exception &e) {
        log_failure(subsystem, "Непредвиденная ошибка: %s\n", e.what());
    } catch (...) {
        log_failure(subsystem, "Непредвиденная ошибка\n");
    }
    return -1;
}

} // namespace dirmirror
