#pragma once

#include <amqp.h>

#include "utils.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Checks a reply of the AMQP client library. Logs what went wrong under
 * `subsystem`, prefixed with `context`, and returns -1 on a failure, 0
 * otherwise. It never ends the process. */
DM_EXPORT int die_on_amqp_error(const char *subsystem, const char *context, amqp_rpc_reply_t reply);

#ifdef __cplusplus
}
#endif
