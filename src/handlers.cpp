#include "handlers.h"

#include <ldap.h>

#include <string>
#include <string_view>
#include <vector>

#include "entries.h"
#include "event_text.h"
#include "guarded.h"
#include "plugin.h"
#include "transactions.h"

namespace dirmirror {

namespace {

constexpr char kModifySubsystem[] = "get_entry_modify";
constexpr char kAddSubsystem[] = "get_entry_add";
constexpr char kDeleteSubsystem[] = "get_entry_delete";
constexpr char kModrdnSubsystem[] = "get_entry_modrdn";

// A modification the server dropped before applying it (a plug-in put
// another in its place, as DNA does with its magic value); the server's
// private headers call it LDAP_MOD_IGNORE.
constexpr int kModIgnored = 0x100;

/* What a handler's event builder works on. */
struct Operation {
    Slapi_PBlock *pb;
    const Plugin &plugin;
    std::string_view dn;
    const char *subsystem;
    Replacements *replaced; // values written with U+FFFD
};

/* An event that cannot be built: the line says why, and a FULLSYNC takes
 * the event's place. */
bool unbuildable(const Operation &operation, const char *why)
{
    log_failure(operation.subsystem, "%s", why);
    return false;
}

/* The operation's facts on each change, beside the subtrees its builder named. */
void add_facts(std::vector<Change> &changes, const ChangeFacts &facts)
{
    for (auto &change : changes) {
        ChangeFacts named = facts;
        named.subtree = std::move(change.facts.subtree);
        named.entering = std::move(change.facts.entering);
        change.facts = std::move(named);
    }
}

/* An event larger than the broker takes (MAX_MESSAGE_MB) would only be
 * refused: it is a loss before it is sent. */
bool fit_the_broker(const Operation &operation, const std::vector<Change> &changes)
{
    const int limit_mb = operation.plugin.settings().max_message_mb;
    const std::size_t limit = static_cast<std::size_t>(limit_mb) << 20;
    for (const auto &change : changes)
        if (change.body.size() > limit) {
            log_failure(operation.subsystem,
                        "Событие о %.*s размером %zu байт больше MAX_MESSAGE_MB (%d МиБ): оно "
                        "пропущено, потребителям будет отправлен FULLSYNC\n",
                        static_cast<int>(operation.dn.size()), operation.dn.data(),
                        change.body.size(), limit_mb);
            return false;
        }
    return true;
}

/* Builds the operation's events with `build`; false when they could not all
 * be built (logged), an exception included. */
template <typename Build>
bool build_changes(const Operation &operation, Build &build, bool replicated,
                   std::vector<Change> &changes)
{
    bool built = false;
    guarded(operation.subsystem, [&] {
        built = build(operation, changes) && fit_the_broker(operation, changes);
        add_facts(changes, change_facts(operation.pb, replicated,
                                        operation.plugin.csn_functions()));
        return 0;
    });
    return built;
}

/* The frame every handler shares, in the be-txn post-operation call: an
 * operation nested in the thread's write adds its events to that write's;
 * the outermost one captures its own and the nested ones under its ticket.
 * Failed operations, those the settings keep back, replication's
 * bookkeeping entries and writes to a backend without transactions of its
 * own publish nothing. */
template <typename Build> int handle_operation(Slapi_PBlock *pb, const char *subsystem, Build &&build)
{
    guarded(subsystem, [&] {
        Plugin *plugin = Plugin::current();
        if (plugin == nullptr)
            return 0;
        const bool nested = nested_in_write(pb);
        Nested along = nested ? Nested{} : end_write(pb); // a failed write takes it back
        if (!succeeded(pb) || !database_backend(pb) ||
            !(nested ? nested_publishable(plugin->settings()) : publishable(pb, plugin->settings())) ||
            is_tombstone(operation_entry(pb)))
            return 0;
        std::vector<Change> changes;
        bool lost = false;
        if (const char *dn = text_parameter(pb, SLAPI_TARGET_DN)) {
            const bool replicated = nested ? nesting_write_replicated() : is_replicated(pb);
            Replacements replaced;
            lost = !build_changes(Operation{pb, *plugin, dn, subsystem, &replaced}, build,
                                  replicated, changes);
            plugin->values_replaced(replaced, subsystem);
        } else {
            log_failure(subsystem, "Не удалось получить DN\n");
            lost = true;
        }
        if (nested) {
            gather_nested(std::move(changes), lost);
            return 0;
        }
        changes.insert(changes.end(), std::make_move_iterator(along.changes.begin()),
                       std::make_move_iterator(along.changes.end()));
        lost = lost || along.lost;
        if (!changes.empty() || lost)
            capture(pb, std::move(changes), lost);
        return 0;
    });
    return 0;
}

/* Builds an operation's events once per subtree holding its DN (with the
 * five containers a DN can lie in two), each copy named by its subtree. */
template <typename Build> auto per_subtree(Build &&build)
{
    return [build](const Operation &operation, std::vector<Change> &changes) {
        const auto subtrees = operation.plugin.subtrees().holding(operation.dn);
        if (subtrees.empty())
            return true;
        std::vector<std::string> once;
        if (!build(operation, once))
            return false;
        for (const auto subtree : subtrees) {
            ChangeFacts named;
            named.subtree = subtree;
            for (const auto &event : once)
                changes.push_back({event, named});
        }
        return true;
    };
}

/* The entry as the backend stored it; nullptr (logged) when missing. */
const Slapi_Entry *stored_entry(const Operation &operation)
{
    Slapi_Entry *entry = nullptr;
    if (slapi_pblock_get(operation.pb, SLAPI_ENTRY_POST_OP, &entry) != 0 || entry == nullptr)
        unbuildable(operation, "Ошибка получения Entry\n");
    return entry;
}

/* The entry's attributes as events show them; nullopt (logged) when one
 * cannot be read. */
std::optional<std::vector<AttributeValues>> stored_attributes(const Operation &operation,
                                                              const Slapi_Entry *entry)
{
    return published_attributes(entry, operation.plugin.attribute_filter(), operation.subsystem);
}

bool build_delete(const Operation &operation, std::vector<std::string> &events)
{
    Slapi_Entry *entry = nullptr;
    if (slapi_pblock_get(operation.pb, SLAPI_ENTRY_PRE_OP, &entry) != 0 || entry == nullptr)
        return unbuildable(operation, "Ошибка получения Entry\n");
    events.push_back(delete_event_text(operation.dn));
    return true;
}

bool build_modify(const Operation &operation, std::vector<std::string> &events)
{
    LDAPMod **mods = nullptr;
    if (slapi_pblock_get(operation.pb, SLAPI_MODIFY_MODS, &mods) != 0 || mods == nullptr)
        return unbuildable(operation, "Ошибка получения LDAPMod array\n");
    const Slapi_Entry *entry = stored_entry(operation);
    if (entry == nullptr)
        return false;
    using Verdict = AttributeFilter::Verdict;
    int published = 0;
    for (int index = 0; mods[index] != nullptr; ++index) {
        const LDAPMod *mod = mods[index];
        if (mod->mod_op & kModIgnored)
            continue;
        const std::string_view type = mod->mod_type ? mod->mod_type : "";
        const Verdict shown = operation.plugin.attribute_filter().verdict(type);
        if (shown == Verdict::never)
            continue;
        // An increment's result is the value the backend stored.
        const bool increment = (mod->mod_op & ~LDAP_MOD_BVALUES) == LDAP_MOD_INCREMENT;
        const int op = increment ? LDAP_MOD_REPLACE : mod->mod_op;
        // An excluded attribute is named, so consumers learn it changed.
        std::vector<std::string_view> values;
        if (shown == Verdict::publish)
            values = increment ? stored_values(entry, type) : modification_values(mod);
        events.push_back(
            modify_event_text(published++, operation.dn, op, type, values, operation.replaced));
    }
    return true;
}

bool build_add(const Operation &operation, std::vector<std::string> &events)
{
    const Slapi_Entry *entry = stored_entry(operation);
    if (entry == nullptr)
        return false;
    const auto attributes = stored_attributes(operation, entry);
    if (!attributes)
        return false;
    events.push_back(add_event_text(operation.dn, *attributes, operation.replaced));
    return true;
}

/* One event, whichever subtrees the entry leaves and enters: under the one
 * it leaves, naming the one it enters when that is another. */
bool build_rename(const Operation &operation, std::vector<Change> &changes)
{
    const RenameRequest request = rename_request(operation.pb);
    const std::string new_dn = renamed_dn(request, operation.dn);
    const auto left = operation.plugin.subtrees().holding(operation.dn);
    const auto entered = operation.plugin.subtrees().holding(new_dn);
    if (left.empty() && entered.empty())
        return true;
    const Slapi_Entry *entry = stored_entry(operation);
    if (entry == nullptr)
        return false;
    const auto attributes = stored_attributes(operation, entry);
    if (!attributes)
        return false;
    const char *stored_dn = slapi_entry_get_dn_const(entry);
    const std::string_view shown_dn = stored_dn != nullptr ? std::string_view(stored_dn) : new_dn;
    ChangeFacts named;
    named.subtree = left.empty() ? entered.front() : left.front();
    if (!entered.empty() && entered.front() != named.subtree)
        named.entering = entered.front();
    const Rename rename{operation.dn, shown_dn, request.new_rdn, request.delete_old_rdn,
                        request.new_superior};
    changes.push_back({modrdn_event_text(rename, *attributes, operation.replaced), std::move(named)});
    return true;
}

} // namespace

int capture_delete(Slapi_PBlock *pb)
{
    return handle_operation(pb, kDeleteSubsystem, per_subtree(build_delete));
}

int capture_modify(Slapi_PBlock *pb)
{
    return handle_operation(pb, kModifySubsystem, per_subtree(build_modify));
}

int capture_add(Slapi_PBlock *pb)
{
    return handle_operation(pb, kAddSubsystem, per_subtree(build_add));
}

int capture_rename(Slapi_PBlock *pb)
{
    return handle_operation(pb, kModrdnSubsystem, build_rename);
}

} // namespace dirmirror
