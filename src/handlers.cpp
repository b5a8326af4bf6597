#include "handlers.h"

#include <cstdint>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "entries.h"
#include "event_text.h"
#include "exports.h"
#include "guarded.h"
#include "plugin.h"
#include "transactions.h"

namespace dirmirror {

namespace {

constexpr char kModifySubsystem[] = "get_entry_modify";
constexpr char kAddSubsystem[] = "get_entry_add";
constexpr char kDeleteSubsystem[] = "get_entry_delete";
constexpr char kModrdnSubsystem[] = "get_entry_modrdn";

/* What a handler's event builder works on. */
struct Operation {
    Slapi_PBlock *pb;
    const Plugin &plugin;
    std::string_view dn;
};

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

/* Changes that could not all be built owe a FULLSYNC; an operation the
 * backend did not number (one without transactions) takes its place now. */
void hand_over(Plugin &plugin, std::uint64_t ticket, std::vector<Change> changes, bool lost)
{
    if (ticket == 0 && (!changes.empty() || lost))
        ticket = plugin.commit_order().take();
    if (ticket != 0)
        plugin.commit_order().resolve(ticket, std::move(changes), lost);
}

/* Reads the operation's DN and lets `build` make its events, with the
 * headers' facts; `built` is false while that is under way, so an exception
 * leaves it false. -1 when the DN or what `build` reads is missing (logged). */
template <typename Build>
int build_changes(Slapi_PBlock *pb, const char *subsystem, Build &build, const Plugin &plugin,
                  bool replicated, std::vector<Change> &changes, bool &built)
{
    const char *dn = text_parameter(pb, SLAPI_TARGET_DN);
    if (dn == nullptr) {
        log_failure(subsystem, "Не удалось получить DN\n");
        return -1;
    }
    built = false;
    const int outcome = build(Operation{pb, plugin, dn}, changes);
    add_facts(changes, change_facts(pb, replicated, plugin.csn_functions()));
    built = true;
    return outcome;
}

/* An operation nested in the thread's write: its changes join the write's,
 * published with it if it commits. */
template <typename Build>
int gather(Slapi_PBlock *pb, const char *subsystem, Build &build, const Plugin &plugin)
{
    std::vector<Change> changes;
    bool built = true;
    const int result = guarded(subsystem, [&]() -> int {
        if (!succeeded(pb) || !nested_publishable(plugin.settings()) ||
            is_tombstone(operation_entry(pb)))
            return 0;
        return build_changes(pb, subsystem, build, plugin, nesting_write_replicated(), changes,
                             built);
    });
    gather_nested(std::move(changes), !built);
    return result;
}

/* The frame every handler shares: skip failed operations and those the
 * settings keep back, read the DN, let `build` add the operation's events,
 * and hand them over, with the changes nested in the operation, under the
 * ticket it took at commit. */
template <typename Build> int handle_operation(Slapi_PBlock *pb, const char *subsystem, Build &&build)
{
    Plugin *plugin = Plugin::current();
    if (plugin == nullptr)
        return 0; // not initialised: nothing could take a ticket either
    if (nested_in_write(pb))
        return gather(pb, subsystem, build, *plugin);
    Claim claim;
    std::vector<Change> changes;
    bool built = true;
    const int result = guarded(subsystem, [&]() -> int {
        claim = claim_ticket(pb);
        if (!succeeded(pb) || !publishable(pb, plugin->settings()) ||
            is_tombstone(operation_entry(pb)))
            return 0; // with what was nested in it
        const int outcome =
            build_changes(pb, subsystem, build, *plugin, is_replicated(pb), changes, built);
        changes.insert(changes.end(), std::make_move_iterator(claim.nested.begin()),
                       std::make_move_iterator(claim.nested.end()));
        built = built && !claim.nested_lost;
        return outcome;
    });
    guarded(subsystem, [&] {
        hand_over(*plugin, claim.ticket, std::move(changes), !built);
        return 0;
    });
    return result;
}

/* Builds an operation's events once per subtree holding its DN (with the
 * five containers a DN can lie in two), each copy named by its subtree. */
template <typename Build> auto per_subtree(Build &&build)
{
    return [build](const Operation &operation, std::vector<Change> &changes) {
        const auto subtrees = operation.plugin.subtrees().holding(operation.dn);
        if (subtrees.empty())
            return 0;
        std::vector<std::string> once;
        if (build(operation, once) != 0)
            return -1;
        for (const auto subtree : subtrees) {
            ChangeFacts named;
            named.subtree = subtree;
            for (const auto &event : once)
                changes.push_back({event, named});
        }
        return 0;
    };
}

int build_modify(const Operation &operation, std::vector<std::string> &events)
{
    LDAPMod **mods = nullptr;
    if (slapi_pblock_get(operation.pb, SLAPI_MODIFY_MODS, &mods) != 0 || mods == nullptr) {
        log_failure(kModifySubsystem, "Ошибка получения LDAPMod array\n");
        return -1;
    }
    using Verdict = AttributeFilter::Verdict;
    int published = 0;
    for (int index = 0; mods[index] != nullptr; ++index) {
        const LDAPMod *mod = mods[index];
        const std::string_view type = mod->mod_type ? mod->mod_type : "";
        const Verdict shown = operation.plugin.attribute_filter().verdict(type);
        if (shown == Verdict::never)
            continue;
        // An excluded attribute is named, so consumers learn it changed.
        const auto values =
            shown == Verdict::publish ? modification_values(mod) : std::vector<std::string_view>{};
        events.push_back(modify_event_text(published++, operation.dn, mod->mod_op, type, values));
    }
    return 0;
}

int build_add(const Operation &operation, std::vector<std::string> &events)
{
    Slapi_Entry *entry = nullptr;
    if (slapi_pblock_get(operation.pb, SLAPI_ADD_ENTRY, &entry) != 0 || entry == nullptr) {
        log_failure(kAddSubsystem, "Ошибка получения Entry\n");
        return -1;
    }
    events.push_back(add_event_text(
        operation.dn, published_attributes(entry, operation.plugin.attribute_filter())));
    return 0;
}

/* One event, whichever subtrees the entry leaves and enters: under the one
 * it leaves, naming the one it enters when that is another. */
int build_rename(const Operation &operation, std::vector<Change> &changes)
{
    Slapi_PBlock *pb = operation.pb;
    Slapi_Entry *entry = nullptr;
    if (slapi_pblock_get(pb, SLAPI_ENTRY_POST_OP, &entry) != 0 || entry == nullptr) {
        log_failure(kModrdnSubsystem, "Ошибка получения Entry\n");
        return 0;
    }
    const char *new_dn = slapi_entry_get_dn_const(entry);
    if (new_dn == nullptr)
        return 0;
    const auto left = operation.plugin.subtrees().holding(operation.dn);
    const auto entered = operation.plugin.subtrees().holding(new_dn);
    if (left.empty() && entered.empty())
        return 0;
    ChangeFacts named;
    named.subtree = left.empty() ? entered.front() : left.front();
    if (!entered.empty() && entered.front() != named.subtree)
        named.entering = entered.front();
    const RenameRequest request = rename_request(pb);
    const Rename rename{operation.dn, new_dn, request.new_rdn, request.delete_old_rdn,
                        request.new_superior};
    changes.push_back({modrdn_event_text(rename, published_attributes(
                                                      entry, operation.plugin.attribute_filter())),
                       std::move(named)});
    return 0;
}

} // namespace

int publish_delete(Slapi_PBlock *pb)
{
    return handle_operation(pb, kDeleteSubsystem,
                            per_subtree([](const Operation &operation, auto &events) {
                                events.push_back(delete_event_text(operation.dn));
                                return 0;
                            }));
}

int publish_modify(Slapi_PBlock *pb)
{
    return handle_operation(pb, kModifySubsystem, per_subtree(build_modify));
}

int publish_add(Slapi_PBlock *pb)
{
    return handle_operation(pb, kAddSubsystem, per_subtree(build_add));
}

int publish_rename(Slapi_PBlock *pb)
{
    return handle_operation(pb, kModrdnSubsystem, build_rename);
}

} // namespace dirmirror
