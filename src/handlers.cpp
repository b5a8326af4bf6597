#include "handlers.h"

#include <strings.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "event_text.h"
#include "exports.h"
#include "guarded.h"
#include "plugin.h"

namespace dirmirror {

namespace {

constexpr char kModifySubsystem[] = "get_entry_modify";
constexpr char kAddSubsystem[] = "get_entry_add";
constexpr char kDeleteSubsystem[] = "get_entry_delete";
constexpr char kModrdnSubsystem[] = "get_entry_modrdn";
constexpr char kCommitSubsystem[] = "commit_order";

/* Tickets this thread took inside a backend transaction, by operation, until
 * that operation's post-operation call (on the same thread) claims them. The
 * server gives the two calls no other way to pass something on. */
struct TakenTicket {
    const void *operation;
    std::uint64_t ticket;
};
thread_local std::vector<TakenTicket> tickets_taken;

const void *operation_of(Slapi_PBlock *pb)
{
    void *operation = nullptr;
    slapi_pblock_get(pb, SLAPI_OPERATION, &operation);
    return operation;
}

/* The ticket of this operation, or 0 (tickets start at 1). */
std::uint64_t claim_ticket(Slapi_PBlock *pb)
{
    const void *operation = operation_of(pb);
    std::uint64_t ticket = 0;
    std::erase_if(tickets_taken, [&](const TakenTicket &taken) {
        if (taken.operation != operation)
            return false;
        ticket = taken.ticket;
        return true;
    });
    return ticket;
}

bool in_a_container(std::string_view dn)
{
    return containers_holding(dn, {targets, static_cast<std::size_t>(targets_size)}) > 0;
}

/* Whether the settings let this operation be published: replicated and
 * internal ones only when asked for. */
bool publishable(Slapi_PBlock *pb, const Settings &settings)
{
    if (slapi_op_internal(pb) && !settings.publish_internal)
        return false;
    int replicated = 0;
    slapi_pblock_get(pb, SLAPI_IS_REPLICATED_OPERATION, &replicated);
    return !(replicated && !settings.publish_replicated);
}

bool succeeded(Slapi_PBlock *pb)
{
    int operation_result = 0;
    return !(slapi_pblock_get(pb, SLAPI_PLUGIN_OPRETURN, &operation_result) == 0 &&
             operation_result != 0);
}

const char *text_parameter(Slapi_PBlock *pb, int parameter)
{
    char *text = nullptr;
    return slapi_pblock_get(pb, parameter, &text) == 0 ? text : nullptr;
}

/* Where a rename puts the entry: the new RDN under the new superior, or
 * under the old parent. */
std::string renamed_dn(Slapi_PBlock *pb, std::string_view old_dn)
{
    const char *new_rdn = text_parameter(pb, SLAPI_MODRDN_NEWRDN);
    Slapi_DN *new_superior = nullptr;
    slapi_pblock_get(pb, SLAPI_MODRDN_NEWSUPERIOR_SDN, &new_superior);
    const char *superior = new_superior ? slapi_sdn_get_dn(new_superior) : nullptr;
    std::string dn = new_rdn ? new_rdn : "";
    dn += ',';
    dn += superior ? std::string_view(superior) : parent_dn(old_dn);
    return dn;
}

/* Takes the operation's ticket when `in_scope` says it may publish. */
template <typename InScope> int take_ticket_if(Slapi_PBlock *pb, InScope &&in_scope)
{
    guarded(kCommitSubsystem, [&] {
        Plugin *plugin = Plugin::current();
        if (plugin == nullptr || !publishable(pb, plugin->settings()) || !succeeded(pb))
            return 0;
        const char *dn = text_parameter(pb, SLAPI_TARGET_DN);
        if (dn == nullptr || !in_scope(dn))
            return 0;
        tickets_taken.push_back({operation_of(pb), plugin->commit_order().take()});
        return 0;
    });
    return 0;
}

/* The entry as the operation left it (as it was, for a delete). */
Slapi_Entry *operation_entry(Slapi_PBlock *pb)
{
    Slapi_Entry *entry = nullptr;
    for (const int parameter : {SLAPI_ENTRY_POST_OP, SLAPI_ENTRY_PRE_OP, SLAPI_ADD_ENTRY})
        if (slapi_pblock_get(pb, parameter, &entry) == 0 && entry != nullptr)
            return entry;
    return nullptr;
}

ChangeFacts change_facts(Slapi_PBlock *pb)
{
    ChangeFacts facts;
    int replicated = 0;
    slapi_pblock_get(pb, SLAPI_IS_REPLICATED_OPERATION, &replicated);
    facts.replicated = replicated != 0;
    if (const Slapi_Entry *entry = operation_entry(pb))
        if (const char *uuid = slapi_entry_get_uniqueid(entry))
            facts.entry_uuid = uuid;
    return facts;
}

std::string_view berval_bytes(const berval *value)
{
    if (value == nullptr || value->bv_val == nullptr)
        return {};
    return {value->bv_val, value->bv_len};
}

std::vector<std::string_view> modification_values(const LDAPMod *mod)
{
    std::vector<std::string_view> values;
    if (mod->mod_bvalues != nullptr)
        for (berval **value = mod->mod_bvalues; *value != nullptr; ++value)
            values.push_back(berval_bytes(*value));
    return values;
}

std::vector<std::string_view> attribute_values(Slapi_Attr *attr)
{
    std::vector<std::string_view> values;
    Slapi_Value *value = nullptr;
    for (int hint = slapi_attr_first_value(attr, &value); hint != -1 && value != nullptr;
         hint = slapi_attr_next_value(attr, hint, &value))
        values.push_back(berval_bytes(slapi_value_get_berval(value)));
    return values;
}

/* Replication's bookkeeping entries (deleted entries and renames' cenotaphs),
 * which internal operations add and change: no directory data. */
bool is_tombstone(const Slapi_Entry *entry)
{
    if (entry == nullptr)
        return false;
    if (slapi_entry_flag_is_set(entry, SLAPI_ENTRY_FLAG_TOMBSTONE))
        return true;
    Slapi_Attr *object_classes = nullptr;
    if (slapi_entry_attr_find(entry, "objectclass", &object_classes) != 0 || object_classes == nullptr)
        return false;
    const auto values = attribute_values(object_classes);
    return std::any_of(values.begin(), values.end(), [](std::string_view value) {
        return value.size() == 11 && strncasecmp(value.data(), "nsTombstone", 11) == 0;
    });
}

/* The entry's attributes in its own order. Missing first attribute or type
 * is logged and leaves the list empty; a later one without a type is skipped. */
std::vector<AttributeValues> entry_attributes(const Slapi_Entry *entry)
{
    std::vector<AttributeValues> attributes;
    Slapi_Attr *attr = nullptr;
    if (slapi_entry_first_attr(entry, &attr) != 0 || attr == nullptr) {
        log_failure(kAddSubsystem, "Ошибка получения первого атрибута Entry\n");
        return attributes;
    }
    char *type = nullptr;
    if (slapi_attr_get_type(attr, &type) != 0 || type == nullptr) {
        log_failure(kAddSubsystem, "Ошибка получения типа атрибута\n");
        return attributes;
    }
    attributes.push_back({type, attribute_values(attr)});
    Slapi_Attr *next = nullptr;
    while (slapi_entry_next_attr(entry, attr, &next) != -1 && next != nullptr) {
        attr = next;
        type = nullptr;
        if (slapi_attr_get_type(attr, &type) == 0 && type != nullptr)
            attributes.push_back({type, attribute_values(attr)});
    }
    return attributes;
}

/* The entry's attributes as events show them: without the values that never
 * leave the directory. */
std::vector<AttributeValues> published_attributes(const Slapi_Entry *entry,
                                                  const AttributeFilter &filter)
{
    auto attributes = entry_attributes(entry);
    std::erase_if(attributes, [&filter](const AttributeValues &attribute) {
        return filter.verdict(attribute.type) != AttributeFilter::Verdict::publish;
    });
    return attributes;
}

/* What a handler's event builder works on. */
struct Operation {
    Slapi_PBlock *pb;
    const Plugin &plugin;
    std::string_view dn;
};

/* Events that could not be built (an exception) owe a FULLSYNC; an
 * operation the backend did not number (one without transactions) takes its
 * place now. */
void hand_over(Plugin &plugin, std::uint64_t ticket, std::vector<std::string> events, bool built,
               ChangeFacts facts)
{
    if (ticket == 0 && (!events.empty() || !built))
        ticket = plugin.commit_order().take();
    if (ticket != 0)
        plugin.commit_order().resolve(ticket, std::move(events), !built, std::move(facts));
}

/* The frame every handler shares: skip failed operations and those the
 * settings keep back, read the DN, let `build` add the operation's events,
 * and hand them over under the ticket the operation took at commit. */
template <typename Build> int handle_operation(Slapi_PBlock *pb, const char *subsystem, Build &&build)
{
    Plugin *plugin = Plugin::current();
    if (plugin == nullptr)
        return 0; // not initialised: nothing could take a ticket either
    std::uint64_t ticket = 0;
    std::vector<std::string> events;
    bool built = false;
    ChangeFacts facts;
    const int result = guarded(subsystem, [&]() -> int {
        ticket = claim_ticket(pb);
        if (!succeeded(pb) || !publishable(pb, plugin->settings()) ||
            is_tombstone(operation_entry(pb))) {
            built = true;
            return 0;
        }
        facts = change_facts(pb);
        const char *dn = text_parameter(pb, SLAPI_TARGET_DN);
        if (dn == nullptr) {
            log_failure(subsystem, "Не удалось получить DN\n");
            built = true;
            return -1;
        }
        const int outcome = build(Operation{pb, *plugin, dn}, events);
        built = true;
        return outcome;
    });
    guarded(subsystem, [&] {
        hand_over(*plugin, ticket, std::move(events), built, std::move(facts));
        return 0;
    });
    return result;
}

/* Builds an operation's events once per container its DN lies in. */
template <typename Build> auto per_container(Build &&build)
{
    return [build](const Operation &operation, std::vector<std::string> &events) {
        const std::size_t containers =
            containers_holding(operation.dn, {targets, static_cast<std::size_t>(targets_size)});
        if (containers == 0)
            return 0;
        std::vector<std::string> once;
        if (build(operation, once) != 0)
            return -1;
        for (std::size_t i = 0; i < containers; ++i)
            events.insert(events.end(), once.begin(), once.end());
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

int build_rename(const Operation &operation, std::vector<std::string> &events)
{
    Slapi_PBlock *pb = operation.pb;
    Slapi_Entry *entry = nullptr;
    if (slapi_pblock_get(pb, SLAPI_ENTRY_POST_OP, &entry) != 0 || entry == nullptr) {
        log_failure(kModrdnSubsystem, "Ошибка получения Entry\n");
        return 0;
    }
    const char *new_dn = slapi_entry_get_dn_const(entry);
    if (new_dn == nullptr || !(in_a_container(operation.dn) || in_a_container(new_dn)))
        return 0;
    Slapi_DN *new_superior = nullptr;
    slapi_pblock_get(pb, SLAPI_MODRDN_NEWSUPERIOR_SDN, &new_superior);
    const char *superior = new_superior ? slapi_sdn_get_dn(new_superior) : nullptr;
    int delete_old_rdn = 0;
    slapi_pblock_get(pb, SLAPI_MODRDN_DELOLDRDN, &delete_old_rdn);
    const char *new_rdn = text_parameter(pb, SLAPI_MODRDN_NEWRDN);
    const Rename rename{operation.dn, new_dn, new_rdn ? new_rdn : "", delete_old_rdn != 0,
                        superior ? std::optional<std::string_view>(superior) : std::nullopt};
    events.push_back(modrdn_event_text(
        rename, published_attributes(entry, operation.plugin.attribute_filter())));
    return 0;
}

} // namespace

int take_commit_ticket(Slapi_PBlock *pb)
{
    return take_ticket_if(pb, [](std::string_view dn) { return in_a_container(dn); });
}

int take_rename_ticket(Slapi_PBlock *pb)
{
    // A rename counts when the entry leaves, stays in or enters a container.
    return take_ticket_if(pb, [pb](std::string_view dn) {
        return in_a_container(dn) || in_a_container(renamed_dn(pb, dn));
    });
}

int publish_delete(Slapi_PBlock *pb)
{
    return handle_operation(pb, kDeleteSubsystem,
                            per_container([](const Operation &operation, auto &events) {
                                events.push_back(delete_event_text(operation.dn));
                                return 0;
                            }));
}

int publish_modify(Slapi_PBlock *pb)
{
    return handle_operation(pb, kModifySubsystem, per_container(build_modify));
}

int publish_add(Slapi_PBlock *pb)
{
    return handle_operation(pb, kAddSubsystem, per_container(build_add));
}

int publish_rename(Slapi_PBlock *pb)
{
    return handle_operation(pb, kModrdnSubsystem, build_rename);
}

} // namespace dirmirror
