#pragma once
// The be-txn post-operation handlers: just before a write commits, inside
// its transaction and under the backend's lock, they build its events from
// what the backend stored (the entry as it is now, the modifications as the
// backend applied them) and capture them under the place the write takes in
// commit order (see transactions.h). They never wait for the broker, and
// never fail the transaction.

#include <slapi-plugin.h>

namespace dirmirror {

/* Always 0: a be-txn plug-in's failure would abort the write. */
int capture_modify(Slapi_PBlock *pb);
int capture_add(Slapi_PBlock *pb);
int capture_delete(Slapi_PBlock *pb);
/* One event for a rename or move whose old or new DN lies in a subtree. */
int capture_rename(Slapi_PBlock *pb);

} // namespace dirmirror
