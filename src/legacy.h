#pragma once
// What the older exported names do (exports.h lists them): reading settings
// into a record of the caller's, a control message or a whole publisher run
// handed to the current plug-in, and one message on a connection of its own.

#include "exports.h"

namespace dirmirror {

/* Makes the exported `connection_config` a copy of `settings`: C callers
 * may change it (set_config_fields), which changes nothing the publisher
 * reads. */
void export_settings(const Settings &settings);

/* The settings of the file at `path` into *config: 0, or -1 when it can't be
 * opened or read (each problem logged, *config left as it was). */
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
