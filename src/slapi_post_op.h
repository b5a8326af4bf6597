#pragma once

#include <slapi-plugin.h>

#include "utils.h"

#ifdef __cplusplus
#include <atomic>
#include <string_view>
#define DM_ATOMIC_INT std::atomic<int>
extern "C" {
#else
#define DM_ATOMIC_INT int
#endif

/* Entry point the directory server calls once when it loads the plug-in. */
DM_EXPORT int get_entry_rodide_init(Slapi_PBlock *pb);

/* Post-operation handlers: build the operation's events and hand them to the
 * publisher in the place the operation took at commit; they never wait for
 * the broker. 0, or -1 when the operation's data can't be read. */
DM_EXPORT int get_entry_rodide_modify(Slapi_PBlock *pb);
DM_EXPORT int get_entry_rodide_add(Slapi_PBlock *pb);
DM_EXPORT int get_entry_rodide_delete(Slapi_PBlock *pb);

/* Queues `text` for the publisher, behind the change events already in order;
 * returns at once. If it cannot be delivered, a FULLSYNC follows. */
DM_EXPORT void send_message(const char *text);

/* One publish of `text` on a connection of its own, waiting for the broker's
 * confirm: 0 when confirmed, -1 on any failure (logged). A failure sets
 * `fullsync`; a confirmed FULLSYNC clears it. Start-up delivers its FULLSYNC
 * this way, before the publisher runs. */
DM_EXPORT int __send_message(const char *text);

/* The publisher thread's body: publishes the queued messages in order on one
 * connection with confirms, ALIVE every 30 s, and FULLSYNC when one is owed;
 * returns when the plug-in closes. The argument is the plug-in's own
 * publisher when the start function runs it, else NULL (the current one). */
DM_EXPORT void *send_alive(void *publisher);

/* 1 while a FULLSYNC is owed: the consumers' copy may be missing a change. */
DM_EXPORT extern DM_ATOMIC_INT fullsync;

DM_EXPORT extern ConnectionConfig *connection_config;
DM_EXPORT extern const Slapi_PluginDesc ldap_passing_data;

/* Containers whose changes are published. */
DM_EXPORT extern const char *const targets[];
DM_EXPORT extern const int targets_size;

#ifdef __cplusplus
}

namespace dirmirror {
/* Be-txn post-operation, for add, modify and delete: runs under the backend's
 * serial lock just before the commit, so the ticket it takes gives the
 * operation its place in commit order. Quick, and always 0: a be-txn
 * plug-in's failure would abort the transaction. */
int take_commit_ticket(Slapi_PBlock *pb);
/* The same for modrdn: the entry's old DN or its new one must lie in a container. */
int take_rename_ticket(Slapi_PBlock *pb);
/* Post-operation modrdn handler (also for internal renames): one event for a
 * rename or move whose old or new DN lies in a container. 0, or -1 when the
 * DN can't be read. */
int publish_rename(Slapi_PBlock *pb);
/* Start function: the server calls it once it runs as a daemon (a thread
 * started during init would not survive the server's fork). Starts the
 * publisher thread once. */
int start_publisher(Slapi_PBlock *pb);
/* Close function: stops the publisher, giving queued events a few seconds to
 * be confirmed; returns within 7 s whether or not the broker answers. */
int stop_publisher(Slapi_PBlock *pb);
/* EXCLUDE_ATTRIBUTES for the handlers: comma-separated types whose values are
 * never published. Start-up sets it from the settings. */
void exclude_attributes(std::string_view excluded);
} // namespace dirmirror
#endif
