#pragma once
// Reading what the directory server hands over about an operation: its
// entries, values and modifications, as event text wants them.

#include <slapi-plugin.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "commit_order.h"
#include "csn.h"
#include "event_text.h"
#include "attribute_filter.h"

namespace dirmirror {

const void *operation_of(Slapi_PBlock *pb);
const char *text_parameter(Slapi_PBlock *pb, int parameter);
/* Whether the operation has succeeded so far (no result code set, no plug-in
 * failed it). */
bool succeeded(Slapi_PBlock *pb);
bool is_replicated(Slapi_PBlock *pb);
/* Whether the operation writes to a database backend, one with transactions
 * of its own: not the server's configuration, nor a chaining backend (the
 * server that holds the data publishes its changes). */
bool database_backend(Slapi_PBlock *pb);

/* The entry as the operation left it (as it was, for a delete). */
Slapi_Entry *operation_entry(Slapi_PBlock *pb);
/* Replication's bookkeeping entries (deleted entries and renames'
 * cenotaphs), which internal operations add and change: no directory data. */
bool is_tombstone(const Slapi_Entry *entry);
/* The headers' facts of a change to the operation's entry. */
ChangeFacts change_facts(Slapi_PBlock *pb, bool replicated, const CsnFunctions &csn);

/* What a rename asks for, as the server hands it over. */
struct RenameRequest {
    std::string_view new_rdn;
    std::optional<std::string_view> new_superior; // when the client gave one
    bool delete_old_rdn = false;
};
RenameRequest rename_request(Slapi_PBlock *pb);
/* Where a rename puts the entry: the new RDN under the new superior, or
 * under the old parent. */
std::string renamed_dn(const RenameRequest &request, std::string_view old_dn);

std::vector<std::string_view> modification_values(const LDAPMod *mod);
/* The entry's attributes as events show them, in the entry's own order,
 * without the values that never leave the directory; nullopt when one of
 * them cannot be read (logged under `subsystem`). */
std::optional<std::vector<AttributeValues>>
published_attributes(const Slapi_Entry *entry, const AttributeFilter &filter, const char *subsystem);
/* The values the entry holds for `type` (none when it has no such attribute). */
std::vector<std::string_view> stored_values(const Slapi_Entry *entry, std::string_view type);

} // namespace dirmirror
