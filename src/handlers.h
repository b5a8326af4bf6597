#pragma once
// What the directory server calls for each write: the be-txn calls that give
// an operation its place in commit order (a ticket), and the post-operation
// handlers that build its events and hand them over under that ticket. The
// handlers never wait for the broker.

#include <slapi-plugin.h>

namespace dirmirror {

/* Be-txn post-operation, for add, modify and delete: runs under the backend's
 * serial lock just before the commit, so the ticket it takes gives the
 * operation its place in commit order. Quick, and always 0: a be-txn
 * plug-in's failure would abort the transaction. */
int take_commit_ticket(Slapi_PBlock *pb);
/* The same for modrdn: the entry's old DN or its new one must lie in a container. */
int take_rename_ticket(Slapi_PBlock *pb);

/* Post-operation handlers (also for internal operations): 0, or -1 when the
 * operation's data can't be read (logged). */
int publish_modify(Slapi_PBlock *pb);
int publish_add(Slapi_PBlock *pb);
int publish_delete(Slapi_PBlock *pb);
/* One event for a rename or move whose old or new DN lies in a container. */
int publish_rename(Slapi_PBlock *pb);

} // namespace dirmirror
