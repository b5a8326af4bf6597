#pragma once
// What happens inside a write's backend transaction: the events it will
// publish, captured just before its commit with the place they take in
// commit order (a ticket), and the changes other plug-ins (memberOf,
// referential integrity, automember, ...) make inside it, which are
// published with it, in its place, and only if it commits. Once the backend
// knows the outcome, the events are handed over.
//
// The server gives a nested (internal) operation no link to the write it
// runs in, but runs it on the same thread, inside that write's transaction:
// a mark this thread sets when the outermost write's transaction begins, and
// clears when it ends, tells which operations are nested in it. The server
// calls the be-txn and be-post-operation plug-ins of one operation on the
// thread that runs it, so what one call leaves for the next stays on it.

#include <slapi-plugin.h>

#include <cstdint>
#include <vector>

#include "change.h"
#include "settings.h"

namespace dirmirror {

/* Be-txn pre-operation, for every write: marks the thread's outermost write,
 * or starts it afresh when the backend retries its transaction. Always 0. */
int begin_transaction(Slapi_PBlock *pb);

/* Be-post-operation, after the commit (or the abort): hands what the
 * operation captured over to the commit order when it committed, and gives
 * its place up when it did not. Always 0. */
int hand_over(Slapi_PBlock *pb);

/* Pre-bind and post-bind: the server's writes while it processes a bind
 * (failure counters, lockout, last login) are not published. Some paths of
 * a bind end without its post-bind call, so the pre-operation call of any
 * other operation the thread takes up afterwards ends the mark too. */
int begin_bind(Slapi_PBlock *pb);
int end_bind(Slapi_PBlock *pb);

/* What the thread's outermost write brings along when its own events are
 * captured: the changes nested in it. */
struct Nested {
    std::vector<Change> changes;
    bool lost = false; // one could not be built
};
/* Ends the thread's write mark for this operation (its be-txn
 * post-operation call) and takes what was nested in it. */
Nested end_write(Slapi_PBlock *pb);
/* Whether this operation runs inside another write's transaction on this
 * thread; its changes then go with that write's (see gather_nested). */
bool nested_in_write(Slapi_PBlock *pb);
/* Whether the write this operation is nested in came by replication. */
bool nesting_write_replicated();
/* Adds a nested operation's changes to its write's; `lost` when they could
 * not all be built. */
void gather_nested(std::vector<Change> changes, bool lost);
/* Keeps an outermost operation's events (`lost`: some could not be built)
 * under the ticket it takes now, just before its commit, until hand_over. */
void capture(Slapi_PBlock *pb, std::vector<Change> changes, bool lost);

/* Whether the settings let this operation's changes be published: replicated
 * and internal ones only when asked for, the server's own writes while it
 * processes a bind never. */
bool publishable(Slapi_PBlock *pb, const Settings &settings);
/* The same for an operation nested in the thread's write: it is internal,
 * and came by replication when its write did. */
bool nested_publishable(const Settings &settings);

} // namespace dirmirror
