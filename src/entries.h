#pragma once
// Reading what the directory server hands over about an operation: its
// entries, values and modifications, as event text wants them.

#include <slapi-plugin.h>

#include <optional>
#include <string_view>
#include <vector>

#include "commit_order.h"
#include "csn.h"
#include "event_text.h"
#include "attribute_filter.h"

namespace dirmirror {

const void *operation_of(Slapi_PBlock *pb);
const char *text_parameter(Slapi_PBlock *pb, int parameter);
bool succeeded(Slapi_PBlock *pb);
bool is_replicated(Slapi_PBlock *pb);

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

std::vector<std::string_view> modification_values(const LDAPMod *mod);
/* The entry's attributes as events show them, in the entry's own order,
 * without the values that never leave the directory. A missing first
 * attribute or type is logged and leaves the list empty. */
std::vector<AttributeValues> published_attributes(const Slapi_Entry *entry,
                                                  const AttributeFilter &filter);

} // namespace dirmirror
