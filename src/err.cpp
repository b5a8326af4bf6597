#include "err.h"

#include <slapi-plugin.h>

#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <new>
#include <string>

#include "monitor.h"

extern "C" int die_on_amqp_error(const char *subsystem, const char *context, amqp_rpc_reply_t reply)
{
    switch (reply.reply_type) {
    case AMQP_RESPONSE_NORMAL:
        return 0;
    case AMQP_RESPONSE_NONE:
        DM_LOG(subsystem, "%s :: Отсутствет тип ответа RPC\n", context);
        return -1;
    case AMQP_RESPONSE_LIBRARY_EXCEPTION:
        DM_LOG(subsystem, "%s :: %s\n", context, amqp_error_string2(reply.library_error));
        return -1;
    case AMQP_RESPONSE_SERVER_EXCEPTION:
        // A close method without its decoded body is reported like an unknown one.
        switch (reply.reply.decoded ? reply.reply.id : 0) {
        case AMQP_CONNECTION_CLOSE_METHOD: {
            const auto *m = static_cast<const amqp_connection_close_t *>(reply.reply.decoded);
            DM_LOG(subsystem, "%s :: Ошибка подключения к серверу %uh, message: %.*s\n", context,
                   m->reply_code, static_cast<int>(m->reply_text.len),
                   static_cast<const char *>(m->reply_text.bytes));
            return -1;
        }
        case AMQP_CHANNEL_CLOSE_METHOD: {
            const auto *m = static_cast<const amqp_channel_close_t *>(reply.reply.decoded);
            DM_LOG(subsystem, "%s :: Шибка канала сервера %uh, message: %.*s\n", context,
                   m->reply_code, static_cast<int>(m->reply_text.len),
                   static_cast<const char *>(m->reply_text.bytes));
            return -1;
        }
        default:
            DM_LOG(subsystem, "%s :: Неизвестная ошибка сервера, method id 0x%08X\n", context,
                   reply.reply.id);
            return -1;
        }
    }
    return 0;
}

void dirmirror::log_failure(const char *subsystem, const char *format, ...) noexcept
{
    // A buffer on the stack first: this also reports running out of memory.
    char buffer[2048];
    const char *text = buffer;
    std::string longer;
    va_list arguments, again;
    va_start(arguments, format);
    va_copy(again, arguments);
    const int length = std::vsnprintf(buffer, sizeof buffer, format, arguments);
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
    va_end(arguments);
    slapi_log_error(SLAPI_LOG_FATAL, const_cast<char *>(subsystem), const_cast<char *>("%s"),
                    const_cast<char *>(text));
    monitor().failure(text, std::time(nullptr));
}
