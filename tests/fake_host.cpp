#include "fake_host.h"

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <optional>

namespace {

std::mutex log_mutex;
std::vector<LogLine> log_lines;
std::vector<RegisteredPlugin> registered_plugins;
bool refuse_registration = false;
std::optional<slapi_entry> server_config;
std::map<std::string, slapi_entry> directory_entries; // by DN, lower case
std::vector<DseCallback> dse_callbacks;
std::vector<slapi_entry> added_entries;
std::atomic<bool> shutting_down{false};
std::map<void *, slapi_backend_state_change_fnptr> backend_watchers;

} // namespace

void fake_backend_state_change(const char *backend, int old_state, int new_state)
{
    std::map<void *, slapi_backend_state_change_fnptr> watchers;
    {
        std::lock_guard lock(log_mutex);
        watchers = backend_watchers;
    }
    for (const auto &[handle, watcher] : watchers)
        watcher(handle, const_cast<char *>(backend), old_state, new_state);
}

void slapi_register_backend_state_change(void *handle, slapi_backend_state_change_fnptr funct)
{
    std::lock_guard lock(log_mutex);
    backend_watchers[handle] = funct;
}

int slapi_unregister_backend_state_change(void *handle)
{
    std::lock_guard lock(log_mutex);
    return backend_watchers.erase(handle) == 1 ? 0 : -1;
}

void fake_shutting_down(bool shutting)
{
    shutting_down = shutting;
}

int slapi_is_shutting_down(void)
{
    return shutting_down ? 1 : 0;
}

std::vector<LogLine> fake_log_lines()
{
    std::lock_guard lock(log_mutex);
    return log_lines;
}

void fake_log_clear()
{
    std::lock_guard lock(log_mutex);
    log_lines.clear();
}

std::vector<LogLine> fake_log_matching(const std::string &needle)
{
    std::vector<LogLine> found;
    for (auto &line : fake_log_lines())
        if (line.text.find(needle) != std::string::npos)
            found.push_back(line);
    return found;
}

std::vector<RegisteredPlugin> fake_registered_plugins()
{
    std::lock_guard lock(log_mutex);
    return registered_plugins;
}

void fake_registered_plugins_clear()
{
    std::lock_guard lock(log_mutex);
    registered_plugins.clear();
}

/* Lower case and no blanks after commas: enough of the server's DN
 * normalisation for the tests' DNs. */
std::string fake_normalized_dn(std::string dn)
{
    std::string out;
    for (size_t i = 0; i < dn.size(); ++i)
        if (!(dn[i] == ' ' && i > 0 && dn[i - 1] == ','))
            out += static_cast<char>(std::tolower(static_cast<unsigned char>(dn[i])));
    return out;
}

std::map<const void *, std::string> operation_csns;

void fake_operation_csn(const void *operation, const std::string &csn)
{
    std::lock_guard lock(log_mutex);
    operation_csns[operation] = csn;
}

// The server's CSN functions, which the plug-in looks up by name.
extern "C" __attribute__((visibility("default"))) void *operation_get_csn(Slapi_Operation *operation)
{
    std::lock_guard lock(log_mutex);
    const auto found = operation_csns.find(operation);
    return found == operation_csns.end() ? nullptr : &found->second;
}

extern "C" __attribute__((visibility("default"))) char *csn_as_string(const void *csn, int,
                                                                       char *text)
{
    std::snprintf(text, 21, "%s", static_cast<const std::string *>(csn)->c_str());
    return text;
}

void fake_directory_entry(const std::string &dn, const slapi_entry &entry)
{
    std::lock_guard lock(log_mutex);
    directory_entries[fake_normalized_dn(dn)] = entry;
}

void fake_server_config(const std::string &host, int port, bool dynamic_plugins)
{
    std::lock_guard lock(log_mutex);
    server_config.emplace();
    server_config->add("nsslapd-localhost", {host}).add("nsslapd-port", {std::to_string(port)});
    if (dynamic_plugins)
        server_config->add("nsslapd-dynamic-plugins", {"on"});
}

void fake_refuse_plugin_registration(bool refuse)
{
    std::lock_guard lock(log_mutex);
    refuse_registration = refuse;
}

std::vector<DseCallback> fake_dse_callbacks()
{
    std::lock_guard lock(log_mutex);
    return dse_callbacks;
}

std::vector<slapi_entry> fake_added_entries()
{
    std::lock_guard lock(log_mutex);
    return added_entries;
}

slapi_entry &slapi_entry::add(const std::string &type, const std::vector<std::string> &values)
{
    slapi_attr attr{type, {}};
    for (const auto &v : values)
        attr.values.push_back({v, {}});
    attrs.push_back(std::move(attr));
    return *this;
}

slapi_entry &slapi_entry::add_untyped(const std::vector<std::string> &values)
{
    add("", values);
    attrs.back().type.reset();
    return *this;
}

FakeMods &FakeMods::add(int op, const std::string &type,
                        const std::optional<std::vector<std::string>> &values)
{
    auto mod = std::make_unique<Mod>();
    mod->type = type;
    mod->mod.mod_op = op;
    mod->mod.mod_type = mod->type.data();
    mod->mod.mod_bvalues = nullptr;
    if (values) {
        mod->bytes = *values;
        for (auto &b : mod->bytes)
            mod->bvs.push_back({static_cast<ber_len_t>(b.size()), b.data()});
        for (auto &bv : mod->bvs)
            mod->bv_ptrs.push_back(&bv);
        mod->bv_ptrs.push_back(nullptr);
        mod->mod.mod_bvalues = mod->bv_ptrs.data();
    }
    mods_.push_back(std::move(mod));
    return *this;
}

LDAPMod **FakeMods::get()
{
    array_.clear();
    for (auto &m : mods_)
        array_.push_back(&m->mod);
    array_.push_back(nullptr);
    return array_.data();
}

Slapi_Backend *fake_database_backend()
{
    static backend database;
    return &database;
}

extern "C" {

int slapi_log_error(int loglevel, char *subsystem, char *fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    va_list measure;
    va_copy(measure, args);
    const int length = std::vsnprintf(nullptr, 0, fmt, measure);
    va_end(measure);
    std::string text(length > 0 ? static_cast<size_t>(length) : 0, '\0');
    std::vsnprintf(text.data(), text.size() + 1, fmt, args);
    va_end(args);
    std::lock_guard lock(log_mutex);
    log_lines.push_back(
        {loglevel, subsystem ? subsystem : "", std::move(text), std::chrono::steady_clock::now()});
    return 0;
}

int slapi_pblock_get(Slapi_PBlock *pb, int arg, void *value)
{
    if (pb == nullptr || pb->fail_get.count(arg))
        return -1;
    if (auto i = pb->ints.find(arg); i != pb->ints.end()) {
        *static_cast<int *>(value) = i->second;
        return 0;
    }
    if (auto p = pb->ptrs.find(arg); p != pb->ptrs.end()) {
        *static_cast<void **>(value) = p->second;
        return 0;
    }
    return -1;
}

int slapi_pblock_set(Slapi_PBlock *pb, int arg, void *value)
{
    if (pb == nullptr || pb->fail_set.count(arg))
        return -1;
    pb->ptrs[arg] = value;
    pb->set_order.push_back(arg);
    return 0;
}

int slapi_be_private(Slapi_Backend *be)
{
    return be != nullptr && be->is_private;
}

int slapi_be_is_flag_set(Slapi_Backend *be, int flag)
{
    return be != nullptr && (be->flags & flag) != 0;
}

int slapi_op_internal(Slapi_PBlock *pb)
{
    return pb != nullptr && pb->internal;
}

int slapi_register_plugin(const char *plugintype, int enabled, const char *initsymbol,
                          slapi_plugin_init_fnptr initfunc, const char *name, char **argv,
                          void *identity)
{
    return slapi_register_plugin_ext(plugintype, enabled, initsymbol, initfunc, name, argv,
                                     identity, 50);
}

int slapi_register_plugin_ext(const char *plugintype, int, const char *,
                              slapi_plugin_init_fnptr initfunc, const char *name, char **, void *,
                              int precedence)
{
    {
        std::lock_guard lock(log_mutex);
        if (refuse_registration)
            return -1;
    }
    RegisteredPlugin plugin{plugintype, name, std::make_shared<slapi_pblock>(), precedence};
    if (initfunc(plugin.pb.get()) != 0)
        return -1;
    std::lock_guard lock(log_mutex);
    registered_plugins.push_back(std::move(plugin));
    return 0;
}

const char *slapi_entry_get_dn_const(const Slapi_Entry *e)
{
    return e->dn.c_str();
}

const char *slapi_entry_get_uniqueid(const Slapi_Entry *e)
{
    return e->uniqueid.empty() ? nullptr : e->uniqueid.c_str();
}

const char *slapi_sdn_get_dn(const Slapi_DN *sdn)
{
    return sdn->dn.c_str();
}

Slapi_DN *slapi_sdn_new_dn_byval(const char *dn)
{
    return new slapi_dn{dn};
}

void slapi_sdn_free(Slapi_DN **sdn)
{
    delete *sdn;
    *sdn = nullptr;
}

int slapi_search_internal_get_entry(Slapi_DN *dn, char **, Slapi_Entry **ret_entry, void *)
{
    std::lock_guard lock(log_mutex);
    if (dn->dn == "cn=config" && server_config) {
        *ret_entry = new slapi_entry(*server_config);
        return 0;
    }
    const auto found = directory_entries.find(fake_normalized_dn(dn->dn));
    if (found == directory_entries.end())
        return LDAP_NO_SUCH_OBJECT;
    *ret_entry = new slapi_entry(found->second);
    return 0;
}

Slapi_DN *slapi_sdn_new_dn_byref(const char *dn)
{
    return new slapi_dn{dn};
}

const char *slapi_sdn_get_ndn(const Slapi_DN *sdn)
{
    auto *lazy = const_cast<Slapi_DN *>(sdn); // the server writes it on first use too
    if (lazy->ndn.empty())
        lazy->ndn = fake_normalized_dn(lazy->dn);
    return lazy->ndn.c_str();
}

// As the server compares: on RDN boundaries, an escaped comma is no boundary.
int slapi_sdn_issuffix(const Slapi_DN *sdn, const Slapi_DN *suffix)
{
    const std::string dn = slapi_sdn_get_ndn(sdn), base = slapi_sdn_get_ndn(suffix);
    if (dn.size() < base.size() || dn.compare(dn.size() - base.size(), base.size(), base) != 0)
        return 0;
    const std::size_t at = dn.size() - base.size();
    return at == 0 || (dn[at - 1] == ',' && (at < 2 || dn[at - 2] != '\\'));
}

int slapi_sdn_compare(const Slapi_DN *a, const Slapi_DN *b)
{
    return fake_normalized_dn(a->dn).compare(fake_normalized_dn(b->dn));
}

char **slapi_entry_attr_get_charray(const Slapi_Entry *e, const char *type)
{
    for (const auto &attr : e->attrs)
        if (attr.type && strcasecmp(attr.type->c_str(), type) == 0) {
            auto **values = static_cast<char **>(calloc(attr.values.size() + 1, sizeof(char *)));
            for (size_t i = 0; i < attr.values.size(); ++i)
                values[i] = strdup(attr.values[i].bytes.c_str());
            return values;
        }
    return nullptr;
}

void slapi_ch_array_free(char **array)
{
    for (char **value = array; value && *value; ++value)
        free(*value);
    free(array);
}

char *slapi_entry_attr_get_charptr(const Slapi_Entry *e, const char *type)
{
    for (const auto &attr : e->attrs)
        if (attr.type == type && !attr.values.empty())
            return strdup(attr.values.front().bytes.c_str());
    return nullptr;
}

int slapi_entry_attr_get_int(const Slapi_Entry *e, const char *type)
{
    char *text = slapi_entry_attr_get_charptr(e, type);
    const int value = text ? std::atoi(text) : 0;
    std::free(text);
    return value;
}

int slapi_entry_attr_find(const Slapi_Entry *e, const char *type, Slapi_Attr **attr)
{
    for (const auto &a : e->attrs)
        if (a.type && strcasecmp(a.type->c_str(), type) == 0) {
            *attr = const_cast<Slapi_Attr *>(&a);
            return 0;
        }
    *attr = nullptr;
    return -1;
}

int slapi_entry_flag_is_set(const Slapi_Entry *, unsigned char)
{
    return 0;
}

void slapi_entry_free(Slapi_Entry *e)
{
    delete e;
}

void slapi_ch_free_string(char **s)
{
    std::free(*s);
    *s = nullptr;
}

int slapi_entry_first_attr(const Slapi_Entry *e, Slapi_Attr **attr)
{
    if (e->attrs.empty()) {
        *attr = nullptr;
        return -1;
    }
    *attr = const_cast<Slapi_Attr *>(&e->attrs.front());
    return 0;
}

int slapi_entry_next_attr(const Slapi_Entry *e, Slapi_Attr *prevattr, Slapi_Attr **attr)
{
    const auto index = static_cast<size_t>(prevattr - e->attrs.data()) + 1;
    if (index >= e->attrs.size()) {
        *attr = nullptr;
        return -1;
    }
    *attr = const_cast<Slapi_Attr *>(&e->attrs[index]);
    return 0;
}

int slapi_attr_get_type(Slapi_Attr *attr, char **type)
{
    if (!attr->type) {
        *type = nullptr;
        return -1;
    }
    *type = attr->type->data();
    return 0;
}

int slapi_attr_first_value(Slapi_Attr *a, Slapi_Value **v)
{
    if (a->values.empty()) {
        *v = nullptr;
        return -1;
    }
    *v = &a->values.front();
    return 0;
}

int slapi_attr_next_value(Slapi_Attr *a, int hint, Slapi_Value **v)
{
    const auto next = static_cast<size_t>(hint) + 1;
    if (hint < 0 || next >= a->values.size()) {
        *v = nullptr;
        return -1;
    }
    *v = &a->values[next];
    return next;
}

const struct berval *slapi_value_get_berval(const Slapi_Value *value)
{
    auto *v = const_cast<Slapi_Value *>(value);
    v->bv = {static_cast<ber_len_t>(v->bytes.size()), v->bytes.data()};
    return &v->bv;
}

Slapi_Entry *slapi_entry_alloc(void)
{
    return new slapi_entry();
}

void slapi_entry_init(Slapi_Entry *e, char *dn, Slapi_Attr *)
{
    e->dn = dn;
    std::free(dn);
}

char *slapi_ch_strdup(const char *s)
{
    return strdup(s);
}

int slapi_entry_add_string(Slapi_Entry *e, const char *type, const char *value)
{
    for (auto &attr : e->attrs)
        if (attr.type && strcasecmp(attr.type->c_str(), type) == 0) {
            attr.values.push_back({value, {}});
            return 0;
        }
    e->add(type, {value});
    return 0;
}

void slapi_entry_attr_set_charptr(Slapi_Entry *e, const char *type, const char *value)
{
    std::erase_if(e->attrs, [type](const slapi_attr &attr) {
        return attr.type && strcasecmp(attr.type->c_str(), type) == 0;
    });
    if (value != nullptr)
        e->add(type, {value});
}

Slapi_PBlock *slapi_pblock_new(void)
{
    return new slapi_pblock();
}

void slapi_pblock_destroy(Slapi_PBlock *pb)
{
    delete pb;
}

void slapi_add_entry_internal_set_pb(Slapi_PBlock *pb, Slapi_Entry *e, LDAPControl **, Slapi_ComponentId *,
                                     int)
{
    pb->ptrs[SLAPI_ADD_ENTRY] = e;
}

int slapi_add_internal_pb(Slapi_PBlock *pb)
{
    // Like the server, the add takes the entry.
    auto *entry = static_cast<slapi_entry *>(pb->ptrs[SLAPI_ADD_ENTRY]);
    std::lock_guard lock(log_mutex);
    const bool exists = std::any_of(added_entries.begin(), added_entries.end(),
                                    [entry](const slapi_entry &e) { return e.dn == entry->dn; });
    pb->ints[SLAPI_PLUGIN_INTOP_RESULT] = exists ? LDAP_ALREADY_EXISTS : LDAP_SUCCESS;
    if (!exists)
        added_entries.push_back(*entry);
    delete entry;
    return 0;
}

int slapi_config_register_callback(int operation, int flags, const char *base, int scope,
                                   const char *filter, dseCallbackFn fn, void *fn_arg)
{
    std::lock_guard lock(log_mutex);
    dse_callbacks.push_back({operation, flags, base, scope, filter, fn, fn_arg});
    return 1; // as the server: 1 when registered
}

int slapi_config_remove_callback(int operation, int flags, const char *base, int scope,
                                 const char *filter, dseCallbackFn fn)
{
    std::lock_guard lock(log_mutex);
    std::erase_if(dse_callbacks, [&](const DseCallback &c) {
        return c.operation == operation && c.flags == flags && c.base == base &&
               c.scope == scope && c.filter == filter && c.callback == fn;
    });
    return 1;
}

} // extern "C"
