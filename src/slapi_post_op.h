#pragma once

#include <slapi-plugin.h>

#include "utils.h"

#ifdef __cplusplus
#include <atomic>
#define DM_ATOMIC_INT std::atomic<int>
extern "C" {
#else
#define DM_ATOMIC_INT int
#endif

/* Entry point the directory server calls once when it loads the plug-in. */
DM_EXPORT int get_entry_rodide_init(Slapi_PBlock *pb);

/* Post-operation handlers: 0, or -1 when the operation's data can't be read. */
DM_EXPORT int get_entry_rodide_modify(Slapi_PBlock *pb);
DM_EXPORT int get_entry_rodide_add(Slapi_PBlock *pb);
DM_EXPORT int get_entry_rodide_delete(Slapi_PBlock *pb);

/* Publishes `text`; after a failed attempt, makes sure a FULLSYNC follows. */
DM_EXPORT void send_message(const char *text);

/* One publish attempt on a connection of its own: 0 when published, -1 on any
 * failure (logged). A failure sets `fullsync`; a delivered FULLSYNC clears it. */
DM_EXPORT int __send_message(const char *text);

/* Heartbeat thread body: ALIVE, then 30 s of sleep, forever. */
DM_EXPORT void *send_alive(void *unused);

/* 1 while the consumers' copy may be missing a change and a FULLSYNC is owed. */
DM_EXPORT extern DM_ATOMIC_INT fullsync;

DM_EXPORT extern ConnectionConfig *connection_config;
DM_EXPORT extern const Slapi_PluginDesc ldap_passing_data;

/* Containers whose changes are published. */
DM_EXPORT extern const char *const targets[];
DM_EXPORT extern const int targets_size;

#ifdef __cplusplus
}
#endif
