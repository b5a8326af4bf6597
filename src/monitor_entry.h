#pragma once
// The monitor entry cn=dirmirror,cn=monitor: an entry of the server's
// configuration tree filled in at each search from the plug-in's counters,
// so nothing of it is ever written to dse.ldif. Modifying or deleting it is
// refused.

namespace dirmirror {

class Plugin;

/* Adds the entry (a restart finds it there already) and registers its
 * callbacks, once. A failure is logged; publishing goes on without it. */
void register_monitor_entry(Plugin &plugin);
/* Removes the callbacks; the entry stays, with no values, until the next start. */
void remove_monitor_entry(Plugin &plugin);

} // namespace dirmirror
