#pragma once
// The names the plug-in library exports (dirmirror-plugin.map lists exactly
// these): the entry point the server looks up by name, the handlers it is
// given, and older names kept for whoever looks them up. Each function is a
// one-line forward to one whose name says what it does.

#include <amqp.h>
#include <slapi-plugin.h>

#include <atomic>

#include "settings.h"

#define DM_EXPORT __attribute__((visibility("default")))

/* The settings record behind `connection_config`. */
using ConnectionConfig = dirmirror::Settings;

extern "C" {

/* Entry point the directory server calls once when it loads the plug-in. */
DM_EXPORT int get_entry_rodide_init(Slapi_PBlock *pb);

/* Be-txn post-operation handlers: build the write's events from what the
 * backend stored, just before its commit, in the place it takes in commit
 * order; they never wait for the broker. Always 0 (a failure would abort
 * the write); an event that can't be built owes consumers a FULLSYNC. */
DM_EXPORT int get_entry_rodide_modify(Slapi_PBlock *pb);
DM_EXPORT int get_entry_rodide_add(Slapi_PBlock *pb);
DM_EXPORT int get_entry_rodide_delete(Slapi_PBlock *pb);

/* Queues `text` for the publisher, behind the change events already in order;
 * returns at once. If it cannot be delivered, a FULLSYNC follows. */
DM_EXPORT void send_message(const char *text);

/* One publish of `text` on a connection of its own with the settings in
 * `connection_config`, waiting for the broker's confirm: 0 when confirmed,
 * -1 on any failure (logged). A failure sets `fullsync`; a confirmed
 * FULLSYNC clears it. (The name is reserved in C++; it is kept because it is
 * exported.) */
DM_EXPORT int __send_message(const char *text);

/* The publisher thread's body: runs `publisher` (the current plug-in's when
 * NULL) until the plug-in closes. */
DM_EXPORT void *send_alive(void *publisher);

/* Checks a reply of the AMQP client library: logs what went wrong under
 * `subsystem`, prefixed with `context`, and returns -1 on a failure, 0
 * otherwise. It never ends the process. */
DM_EXPORT int die_on_amqp_error(const char *subsystem, const char *context, amqp_rpc_reply_t reply);

/* Reads the settings file at `path` into *config: 0 when every line was read
 * and nothing required is missing, -1 otherwise (each problem logged, *config
 * left as it was). */
DM_EXPORT int initialize_config(ConnectionConfig *config, const char *path);
/* Applies one "KEY=value" line: 0, or -1 (logged) when the line is wrong. */
DM_EXPORT int set_config_fields(ConnectionConfig *config, const char *line);

/* Formats into a newly allocated text stored in *text (see
 * dirmirror::format_new_text). */
DM_EXPORT int dm_str_format(char **text, const char *format, ...)
    __attribute__((format(printf, 2, 3)));

/* 1 while a FULLSYNC is owed: the consumers' copy may be missing a change. */
DM_EXPORT extern std::atomic<int> fullsync;
/* A copy of the settings the entry point read, for the older calls
 * (__send_message); changing it changes nothing the plug-in publishes. */
DM_EXPORT extern ConnectionConfig *connection_config;
DM_EXPORT extern const Slapi_PluginDesc ldap_passing_data;
/* Containers whose changes are published. */
DM_EXPORT extern const char *const targets[];
DM_EXPORT extern const int targets_size;
/* Where the plug-in reads its settings. */
DM_EXPORT extern const char *path_to_config;

} // extern "C"
