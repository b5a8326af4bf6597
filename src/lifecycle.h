#pragma once
// The plug-in's life in the directory server: init (settings, registration),
// start (the publisher thread, the monitor entry, the first FULLSYNC) and
// close; and the plug-in-wide calls the exported names stand for.

#include <slapi-plugin.h>

#include "exports.h"

namespace dirmirror {

/* Init: reads the settings, makes the plug-in's state and registers the
 * plug-in with the server. 0, or -1 (logged) when it can't be set up. */
int initialize_plugin(Slapi_PBlock *pb);
/* Start function: the server calls it once it runs as a daemon (a thread
 * started during init would not survive the server's fork). Starts the
 * publisher thread once, sets up the monitor entry, and returns once the
 * broker has confirmed the first FULLSYNC, so no change is published before it. */
int start_plugin(Slapi_PBlock *pb);
/* Close function: removes the monitor entry's callbacks and stops the
 * publisher, giving queued events a few seconds to be confirmed; returns
 * within timings::kStopWait + timings::kStopAfterInterrupt. */
int close_plugin(Slapi_PBlock *pb);

/* The settings of the file at `path` into *config: 0, or -1 when it can't be
 * opened or read (each problem logged, the defaults kept). */
int load_settings(ConnectionConfig *config, const char *path);
/* Applies one settings line to *config: 0, or -1 (logged) when it is wrong. */
int apply_settings_line(ConnectionConfig *config, const char *line);
/* Hands `text` to the current plug-in's publisher behind the events in order. */
void queue_control_message(const char *text);
/* One message on a connection of its own with `connection_config`: 0 when
 * confirmed, -1 otherwise; keeps the exported `fullsync` flag. */
int deliver_on_own_connection(const char *text);
/* Runs `publisher` (a Publisher; the current plug-in's when null) on the
 * calling thread until it stops. */
void *run_publisher(void *publisher);

} // namespace dirmirror
