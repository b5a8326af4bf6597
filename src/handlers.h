#pragma once
// The post-operation handlers: they build an operation's events and hand
// them over under the ticket it took at commit (see transactions.h), with
// the changes nested in it; they never wait for the broker.

#include <slapi-plugin.h>

namespace dirmirror {

/* Post-operation handlers (also for internal operations): 0, or -1 when the
 * operation's data can't be read (logged). */
int publish_modify(Slapi_PBlock *pb);
int publish_add(Slapi_PBlock *pb);
int publish_delete(Slapi_PBlock *pb);
/* One event for a rename or move whose old or new DN lies in a container. */
int publish_rename(Slapi_PBlock *pb);

} // namespace dirmirror
