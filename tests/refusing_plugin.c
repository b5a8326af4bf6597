/* A be-txn post-operation plug-in for the end-to-end tests: it refuses the
 * delete of an entry whose description is "refuse-delete", after the other
 * plug-ins (referential integrity, memberOf) have made their changes inside
 * that delete's transaction, so the server rolls all of it back. */
#include <slapi-plugin.h>

static Slapi_PluginDesc description = {"dirmirror-test-refuser", "dirmirror", "1",
                                       "refuses marked deletes after the other plug-ins"};

static int refuse_marked_delete(Slapi_PBlock *pb)
{
    Slapi_Entry *entry = NULL;
    int result = 0;
    slapi_pblock_get(pb, SLAPI_ENTRY_PRE_OP, &entry);
    slapi_pblock_get(pb, SLAPI_RESULT_CODE, &result);
    if (result != 0 || entry == NULL)
        return 0;
    Slapi_Value *mark = slapi_value_new_string("refuse-delete");
    const int marked = slapi_entry_attr_has_syntax_value(entry, "description", mark);
    slapi_value_free(&mark);
    if (!marked)
        return 0;
    result = LDAP_UNWILLING_TO_PERFORM;
    slapi_pblock_set(pb, SLAPI_RESULT_CODE, &result);
    return SLAPI_PLUGIN_FAILURE;
}

int dirmirror_test_refuser_init(Slapi_PBlock *pb)
{
    if (slapi_pblock_set(pb, SLAPI_PLUGIN_VERSION, SLAPI_PLUGIN_VERSION_01) != 0 ||
        slapi_pblock_set(pb, SLAPI_PLUGIN_DESCRIPTION, &description) != 0 ||
        slapi_pblock_set(pb, SLAPI_PLUGIN_BE_TXN_POST_DELETE_FN, (void *)refuse_marked_delete) != 0)
        return -1;
    return 0;
}
