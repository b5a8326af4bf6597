#pragma once
// The plug-in's life in the directory server: init (settings, registration),
// start (the publisher thread, the monitor entry, the first FULLSYNC) and
// close.

#include <slapi-plugin.h>

namespace dirmirror {

/* Init: reads the settings, makes the plug-in's state and registers the
 * plug-in with the server. 0, or -1 (logged) when it can't be set up. */
int initialize_plugin(Slapi_PBlock *pb);
/* Start function: the server calls it once it runs as a daemon (a thread
 * started during init would not survive the server's fork). Starts the
 * publisher thread once and sets up the monitor entry; with
 * WAIT_FOR_BROKER_AT_START it returns only once the broker has confirmed the
 * first FULLSYNC (or the server is stopping). */
int start_plugin(Slapi_PBlock *pb);
/* Close function: removes the monitor entry's callbacks and stops the
 * publisher, giving queued events a few seconds to be confirmed; returns
 * within timings::kStopWait + timings::kStopAfterInterrupt. */
int close_plugin(Slapi_PBlock *pb);

} // namespace dirmirror
