#include "entries.h"

#include <strings.h>

#include <algorithm>

#include "dn.h"
#include "log.h"

namespace dirmirror {

namespace {

std::string_view berval_bytes(const berval *value)
{
    if (value == nullptr || value->bv_val == nullptr)
        return {};
    return {value->bv_val, value->bv_len};
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

/* The entry's attributes in its own order; nullopt (logged) when an
 * attribute or its type cannot be read. */
std::optional<std::vector<AttributeValues>> entry_attributes(const Slapi_Entry *entry,
                                                             const char *subsystem)
{
    std::vector<AttributeValues> attributes;
    Slapi_Attr *attr = nullptr;
    if (slapi_entry_first_attr(entry, &attr) != 0 || attr == nullptr) {
        log_failure(subsystem, "Ошибка получения первого атрибута Entry\n");
        return std::nullopt;
    }
    for (;;) {
        char *type = nullptr;
        if (slapi_attr_get_type(attr, &type) != 0 || type == nullptr) {
            log_failure(subsystem, "Ошибка получения типа атрибута\n");
            return std::nullopt;
        }
        attributes.push_back({type, attribute_values(attr)});
        Slapi_Attr *next = nullptr;
        if (slapi_entry_next_attr(entry, attr, &next) == -1 || next == nullptr)
            return attributes;
        attr = next;
    }
}

} // namespace

std::optional<std::vector<AttributeValues>>
published_attributes(const Slapi_Entry *entry, const AttributeFilter &filter, const char *subsystem)
{
    auto attributes = entry_attributes(entry, subsystem);
    if (attributes)
        std::erase_if(*attributes, [&filter](const AttributeValues &attribute) {
            return filter.verdict(attribute.type) != AttributeFilter::Verdict::publish;
        });
    return attributes;
}

std::vector<std::string_view> stored_values(const Slapi_Entry *entry, std::string_view type)
{
    Slapi_Attr *attr = nullptr;
    const std::string name(type);
    if (slapi_entry_attr_find(entry, name.c_str(), &attr) != 0 || attr == nullptr)
        return {};
    return attribute_values(attr);
}

const void *operation_of(Slapi_PBlock *pb)
{
    void *operation = nullptr;
    slapi_pblock_get(pb, SLAPI_OPERATION, &operation);
    return operation;
}

const char *text_parameter(Slapi_PBlock *pb, int parameter)
{
    char *text = nullptr;
    return slapi_pblock_get(pb, parameter, &text) == 0 ? text : nullptr;
}

bool succeeded(Slapi_PBlock *pb)
{
    for (const int parameter : {SLAPI_PLUGIN_OPRETURN, SLAPI_RESULT_CODE}) {
        int result = 0;
        if (slapi_pblock_get(pb, parameter, &result) == 0 && result != 0)
            return false;
    }
    return true;
}

bool database_backend(Slapi_PBlock *pb)
{
    Slapi_Backend *backend = nullptr;
    return slapi_pblock_get(pb, SLAPI_BACKEND, &backend) == 0 && backend != nullptr &&
           !slapi_be_private(backend) && !slapi_be_is_flag_set(backend, SLAPI_BE_FLAG_REMOTE_DATA);
}

bool is_replicated(Slapi_PBlock *pb)
{
    int replicated = 0;
    slapi_pblock_get(pb, SLAPI_IS_REPLICATED_OPERATION, &replicated);
    return replicated != 0;
}

Slapi_Entry *operation_entry(Slapi_PBlock *pb)
{
    Slapi_Entry *entry = nullptr;
    for (const int parameter : {SLAPI_ENTRY_POST_OP, SLAPI_ENTRY_PRE_OP, SLAPI_ADD_ENTRY})
        if (slapi_pblock_get(pb, parameter, &entry) == 0 && entry != nullptr)
            return entry;
    return nullptr;
}

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

ChangeFacts change_facts(Slapi_PBlock *pb, bool replicated, const CsnFunctions &csn)
{
    ChangeFacts facts;
    facts.replicated = replicated;
    facts.csn = csn_of(pb, csn);
    if (const Slapi_Entry *entry = operation_entry(pb))
        if (const char *uuid = slapi_entry_get_uniqueid(entry))
            facts.entry_uuid = uuid;
    return facts;
}

RenameRequest rename_request(Slapi_PBlock *pb)
{
    RenameRequest request;
    if (const char *new_rdn = text_parameter(pb, SLAPI_MODRDN_NEWRDN))
        request.new_rdn = new_rdn;
    Slapi_DN *new_superior = nullptr;
    slapi_pblock_get(pb, SLAPI_MODRDN_NEWSUPERIOR_SDN, &new_superior);
    if (const char *superior = new_superior ? slapi_sdn_get_dn(new_superior) : nullptr)
        request.new_superior = superior;
    int delete_old_rdn = 0;
    slapi_pblock_get(pb, SLAPI_MODRDN_DELOLDRDN, &delete_old_rdn);
    request.delete_old_rdn = delete_old_rdn != 0;
    return request;
}

std::string renamed_dn(const RenameRequest &request, std::string_view old_dn)
{
    std::string dn(request.new_rdn);
    dn += ',';
    dn += request.new_superior.value_or(parent_dn(old_dn));
    return dn;
}

std::vector<std::string_view> modification_values(const LDAPMod *mod)
{
    std::vector<std::string_view> values;
    if (mod->mod_bvalues != nullptr)
        for (berval **value = mod->mod_bvalues; *value != nullptr; ++value)
            values.push_back(berval_bytes(*value));
    return values;
}

} // namespace dirmirror
