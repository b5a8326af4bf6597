/* A be-txn post-operation plug-in for the end-to-end tests, loaded after the
 * others (dirmirror's capture included), so that what it does falls between
 * a write's capture and its commit:
 * - it refuses the delete of an entry whose description is "refuse-delete",
 *   after the other plug-ins made their changes inside that delete's
 *   transaction, so the server rolls all of it back;
 * - it holds a write of an entry described "hold-commit:MS" for MS
 *   milliseconds before its commit, under the backend's lock;
 * - with a DN as its first argument, its start function writes that entry's
 *   description, as plug-ins that fix data up at start do. */
#include <slapi-plugin.h>

#include <stdlib.h>
#include <string.h>
#include <time.h>

static Slapi_PluginDesc description = {"dirmirror-test-plugin", "dirmirror", "1",
                                       "refuses, holds and writes, for the tests"};
static void *identity;
static char *start_dn;

static Slapi_Entry *entry_of(Slapi_PBlock *pb)
{
    Slapi_Entry *entry = NULL;
    slapi_pblock_get(pb, SLAPI_ENTRY_POST_OP, &entry);
    if (entry == NULL)
        slapi_pblock_get(pb, SLAPI_ENTRY_PRE_OP, &entry);
    return entry;
}

static int described(Slapi_Entry *entry, const char *text)
{
    Slapi_Value *mark = slapi_value_new_string(text);
    const int found = entry != NULL && slapi_entry_attr_has_syntax_value(entry, "description", mark);
    slapi_value_free(&mark);
    return found;
}

static int hold_marked_write(Slapi_PBlock *pb)
{
    Slapi_Entry *entry = entry_of(pb);
    char **values = entry ? slapi_entry_attr_get_charray(entry, "description") : NULL;
    for (char **value = values; value && *value; ++value)
        if (strncmp(*value, "hold-commit:", 12) == 0) {
            const long ms = strtol(*value + 12, NULL, 10);
            const struct timespec pause = {ms / 1000, (ms % 1000) * 1000000L};
            nanosleep(&pause, NULL);
        }
    slapi_ch_array_free(values);
    return 0;
}

static int refuse_marked_delete(Slapi_PBlock *pb)
{
    int result = 0;
    slapi_pblock_get(pb, SLAPI_RESULT_CODE, &result);
    if (result != 0 || !described(entry_of(pb), "refuse-delete"))
        return hold_marked_write(pb);
    result = LDAP_UNWILLING_TO_PERFORM;
    slapi_pblock_set(pb, SLAPI_RESULT_CODE, &result);
    return SLAPI_PLUGIN_FAILURE;
}

static int write_at_start(Slapi_PBlock *pb)
{
    (void)pb;
    if (start_dn == NULL)
        return 0;
    char *values[] = {"written at start", NULL};
    LDAPMod mod = {LDAP_MOD_REPLACE, "description", {values}};
    LDAPMod *mods[] = {&mod, NULL};
    Slapi_PBlock *write = slapi_pblock_new();
    slapi_modify_internal_set_pb(write, start_dn, mods, NULL, NULL, identity, 0);
    slapi_modify_internal_pb(write);
    slapi_pblock_destroy(write);
    return 0;
}

int dirmirror_test_plugin_init(Slapi_PBlock *pb)
{
    int argc = 0;
    char **argv = NULL;
    slapi_pblock_get(pb, SLAPI_PLUGIN_ARGC, &argc);
    slapi_pblock_get(pb, SLAPI_PLUGIN_ARGV, &argv);
    if (argc > 0)
        start_dn = slapi_ch_strdup(argv[0]);
    if (slapi_pblock_get(pb, SLAPI_PLUGIN_IDENTITY, &identity) != 0 ||
        slapi_pblock_set(pb, SLAPI_PLUGIN_VERSION, SLAPI_PLUGIN_VERSION_01) != 0 ||
        slapi_pblock_set(pb, SLAPI_PLUGIN_DESCRIPTION, &description) != 0 ||
        slapi_pblock_set(pb, SLAPI_PLUGIN_START_FN, (void *)write_at_start) != 0 ||
        slapi_pblock_set(pb, SLAPI_PLUGIN_BE_TXN_POST_DELETE_FN, (void *)refuse_marked_delete) != 0 ||
        slapi_pblock_set(pb, SLAPI_PLUGIN_BE_TXN_POST_ADD_FN, (void *)hold_marked_write) != 0 ||
        slapi_pblock_set(pb, SLAPI_PLUGIN_BE_TXN_POST_MODIFY_FN, (void *)hold_marked_write) != 0 ||
        slapi_pblock_set(pb, SLAPI_PLUGIN_BE_TXN_POST_MODRDN_FN, (void *)hold_marked_write) != 0)
        return -1;
    return 0;
}
