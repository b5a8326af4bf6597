#include "monitor_entry.h"

#include <slapi-plugin.h>

#include <cstdio>

#include "guarded.h"
#include "log.h"
#include "plugin.h"

namespace dirmirror {

namespace {

constexpr char kMonitorDn[] = "cn=dirmirror,cn=monitor";
constexpr char kMonitorFilter[] = "(objectclass=*)";
constexpr char kMonitorSubsystem[] = "monitor";

/* Whether `dn` is a member (member or uniqueMember) of the group `group`. */
bool is_member(const std::string &group, const char *dn, void *plugin_id)
{
    Slapi_DN *group_dn = slapi_sdn_new_dn_byval(group.c_str());
    Slapi_DN *reader = slapi_sdn_new_dn_byval(dn);
    char *types[] = {const_cast<char *>("member"), const_cast<char *>("uniqueMember"), nullptr};
    Slapi_Entry *entry = nullptr;
    bool member = false;
    if (slapi_search_internal_get_entry(group_dn, types, &entry, plugin_id) == 0 && entry) {
        for (char *type : {types[0], types[1]}) {
            char **values = slapi_entry_attr_get_charray(entry, type);
            for (char **value = values; value && *value && !member; ++value) {
                Slapi_DN *value_dn = slapi_sdn_new_dn_byval(*value);
                member = slapi_sdn_compare(value_dn, reader) == 0;
                slapi_sdn_free(&value_dn);
            }
            slapi_ch_array_free(values);
        }
        slapi_entry_free(entry);
    }
    slapi_sdn_free(&reader);
    slapi_sdn_free(&group_dn);
    return member;
}

/* The root DN and the members of MONITOR_GROUP see the broker link, the last
 * error and the settings; anyone else the counters only. */
Monitor::Reader reader_of(Slapi_PBlock *pb, const Plugin &plugin)
{
    int is_root = 0;
    if (pb != nullptr && slapi_pblock_get(pb, SLAPI_REQUESTOR_ISROOT, &is_root) == 0 && is_root)
        return Monitor::Reader::administrator;
    char *dn = nullptr;
    const auto &group = plugin.settings().monitor_group;
    if (pb == nullptr || !group || slapi_pblock_get(pb, SLAPI_REQUESTOR_DN, &dn) != 0 ||
        dn == nullptr || *dn == '\0')
        return Monitor::Reader::anyone;
    return is_member(*group, dn, plugin.plugin_id()) ? Monitor::Reader::administrator
                                                     : Monitor::Reader::anyone;
}

int fill_monitor_entry(Slapi_PBlock *pb, Slapi_Entry *entry, Slapi_Entry *, int *returncode,
                       char *, void *plugin_arg)
{
    guarded(kMonitorSubsystem, [pb, entry, plugin_arg] {
        auto &plugin = *static_cast<Plugin *>(plugin_arg);
        std::string last_type;
        for (const auto &[type, value] :
             plugin.monitor().attributes(plugin.settings(), plugin.gauges(), reader_of(pb, plugin))) {
            // A repeated setting (SUBTREE) lists one value per line, in a row.
            if (type == last_type)
                slapi_entry_add_string(entry, type.c_str(), value.c_str());
            else
                slapi_entry_attr_set_charptr(entry, type.c_str(), value.c_str());
            last_type = type;
        }
        return 0;
    });
    *returncode = LDAP_SUCCESS;
    return SLAPI_DSE_CALLBACK_OK;
}

int refuse_monitor_change(Slapi_PBlock *, Slapi_Entry *, Slapi_Entry *, int *returncode,
                          char *returntext, void *)
{
    *returncode = LDAP_UNWILLING_TO_PERFORM;
    if (returntext != nullptr)
        std::snprintf(returntext, SLAPI_DSE_RETURNTEXT_SIZE,
                      "%s is computed at each search and cannot be changed", kMonitorDn);
    return SLAPI_DSE_CALLBACK_ERROR;
}

struct MonitorCallback {
    int operation;
    dseCallbackFn callback;
};
constexpr MonitorCallback kMonitorCallbacks[] = {
    {SLAPI_OPERATION_SEARCH, fill_monitor_entry},
    {SLAPI_OPERATION_MODIFY, refuse_monitor_change},
    {SLAPI_OPERATION_DELETE, refuse_monitor_change},
};

/* The entry the callbacks fill; it stays when the plug-in closes (an empty
 * shell until the next start), and a restart finds it there. */
void add_monitor_entry(void *identity)
{
    Slapi_Entry *entry = slapi_entry_alloc();
    slapi_entry_init(entry, slapi_ch_strdup(kMonitorDn), nullptr);
    slapi_entry_add_string(entry, "objectclass", "top");
    slapi_entry_add_string(entry, "objectclass", "extensibleObject");
    slapi_entry_add_string(entry, "cn", "dirmirror");
    Slapi_PBlock *pb = slapi_pblock_new();
    int dont_write = 1;
    slapi_add_entry_internal_set_pb(pb, entry, nullptr, static_cast<Slapi_ComponentId *>(identity),
                                    0); // takes the entry
    slapi_pblock_set(pb, SLAPI_DSE_DONT_WRITE_WHEN_ADDING, &dont_write);
    slapi_add_internal_pb(pb);
    int result = LDAP_OPERATIONS_ERROR;
    slapi_pblock_get(pb, SLAPI_PLUGIN_INTOP_RESULT, &result);
    slapi_pblock_destroy(pb);
    if (result != LDAP_SUCCESS && result != LDAP_ALREADY_EXISTS)
        log_failure(kMonitorSubsystem, "Не удалось создать запись %s: код LDAP %d\n", kMonitorDn,
                    result);
}

} // namespace

void register_monitor_entry(Plugin &plugin)
{
    if (plugin.monitor_entry_registered)
        return;
    add_monitor_entry(plugin.plugin_id());
    for (const auto &row : kMonitorCallbacks)
        // 1 when registered, 0 when not.
        if (slapi_config_register_callback(row.operation, DSE_FLAG_PREOP, kMonitorDn,
                                           LDAP_SCOPE_BASE, kMonitorFilter, row.callback,
                                           &plugin) == 0)
            log_failure(kMonitorSubsystem, "Не удалось зарегистрировать обработчик записи %s\n",
                        kMonitorDn);
    plugin.monitor_entry_registered = true;
}

void remove_monitor_entry(Plugin &plugin)
{
    if (!plugin.monitor_entry_registered)
        return;
    for (const auto &row : kMonitorCallbacks)
        slapi_config_remove_callback(row.operation, DSE_FLAG_PREOP, kMonitorDn, LDAP_SCOPE_BASE,
                                     kMonitorFilter, row.callback);
    plugin.monitor_entry_registered = false;
}

} // namespace dirmirror
