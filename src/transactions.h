#pragma once
// What happens inside a write's backend transaction: the place it takes in
// commit order (a ticket), and the changes other plug-ins (memberOf,
// referential integrity, automember, ...) make inside it, which are
// published with it, in its place, and only if it commits.
//
// The server gives a nested (internal) operation no link to the write it
// runs in, but runs it on the same thread, inside that write's transaction:
// a mark this thread sets when the outermost write's transaction begins, and
// clears when it ends, tells which operations are nested in it.

#include <slapi-plugin.h>

#include <cstdint>
#include <string_view>
#include <vector>

#include "commit_order.h"
#include "settings.h"

namespace dirmirror {

/* Be-txn pre-operation, for every write: marks the thread's outermost write,
 * or starts it afresh when the backend retries its transaction. */
int begin_transaction(Slapi_PBlock *pb);

/* Be-txn post-operation, just before the commit and under the backend's
 * serial lock: the outermost write takes its ticket (its place in commit
 * order) when it or a change nested in it is to be published, and takes the
 * nested changes along; it ends the mark. Always 0: a be-txn plug-in's
 * failure would abort the transaction. */
int take_commit_ticket(Slapi_PBlock *pb);
/* The same for a rename: the old DN or the new one must lie in a container. */
int take_rename_ticket(Slapi_PBlock *pb);

/* Pre- and post-bind: the server's writes while it processes a bind
 * (failure counters, lockout, last login) are not published. */
int begin_bind(Slapi_PBlock *pb);
int end_bind(Slapi_PBlock *pb);

/* What the thread's outermost write took at its commit, claimed by its
 * post-operation call on the same thread. */
struct Claim {
    std::uint64_t ticket = 0; // 0: none taken
    std::vector<Change> nested;
    bool nested_lost = false; // a nested change could not be built
};
Claim claim_ticket(Slapi_PBlock *pb);

/* Whether this operation runs inside another write's transaction on this
 * thread; its changes then go with that write's (see gather_nested). */
bool nested_in_write(Slapi_PBlock *pb);
/* Whether the write this operation is nested in came by replication. */
bool nesting_write_replicated();
/* Adds a nested operation's changes to its write's; `lost` when they could
 * not all be built. */
void gather_nested(std::vector<Change> changes, bool lost);

/* Whether the settings let this operation's changes be published: replicated
 * and internal ones only when asked for, the server's own writes while it
 * processes a bind never. */
bool publishable(Slapi_PBlock *pb, const Settings &settings);
/* The same for an operation nested in the thread's write: it is internal,
 * and came by replication when its write did. */
bool nested_publishable(const Settings &settings);

} // namespace dirmirror
