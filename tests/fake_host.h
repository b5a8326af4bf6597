#pragma once
// A stand-in for the directory server: the slapi_* functions the plug-in
// calls, with parameter blocks and entries the tests fill in, a record of
// every log line and slot set, and failures on demand.

#include <slapi-plugin.h>

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

struct LogLine {
    int level;
    std::string subsystem;
    std::string text;
    std::chrono::steady_clock::time_point at;
};

// Log lines from every thread, in order.
std::vector<LogLine> fake_log_lines();
void fake_log_clear();
// Log lines whose text contains `needle`.
std::vector<LogLine> fake_log_matching(const std::string &needle);

struct slapi_value {
    std::string bytes;
    berval bv;
};

struct slapi_attr {
    std::optional<std::string> type; // no type: slapi_attr_get_type fails
    std::vector<slapi_value> values;
};

struct slapi_entry {
    std::vector<slapi_attr> attrs;
    std::string dn, uniqueid; // slapi_entry_get_dn_const, slapi_entry_get_uniqueid (empty: none)
    // Builds an attribute; values are copied with their lengths.
    slapi_entry &add(const std::string &type, const std::vector<std::string> &values);
    slapi_entry &add_untyped(const std::vector<std::string> &values);
};

struct slapi_pblock {
    std::map<int, int> ints;     // SLAPI_PLUGIN_OPRETURN and other int parameters
    std::map<int, void *> ptrs;  // everything else, as the pointer the caller wants
    std::set<int> fail_get;      // slapi_pblock_get returns -1 for these
    std::set<int> fail_set;      // slapi_pblock_set returns -1 for these
    std::vector<int> set_order;  // parameters set successfully, in order
    bool internal = false;       // slapi_op_internal
};

struct slapi_dn {
    std::string dn;
    std::string ndn = {}; // normalised the first time it is asked for, as the server does
};

// A backend as slapi_be_private and slapi_be_is_flag_set see it.
struct backend {
    bool is_private = false; // the server's configuration, schema, monitor
    int flags = 0;           // SLAPI_BE_FLAG_REMOTE_DATA for a chaining backend
};
// A database backend, for the operations a test hands to the handlers.
Slapi_Backend *fake_database_backend();

// What slapi_search_internal_get_entry finds at cn=config (nothing when empty).
void fake_server_config(const std::string &host, int port, bool dynamic_plugins = false);
// The CSN the server's operation_get_csn gives `operation`.
void fake_operation_csn(const void *operation, const std::string &csn);
// An entry slapi_search_internal_get_entry finds at `dn`.
void fake_directory_entry(const std::string &dn, const slapi_entry &entry);

// A plug-in registered with slapi_register_plugin: its init function has run
// on `pb`.
struct RegisteredPlugin {
    std::string type, name;
    std::shared_ptr<slapi_pblock> pb;
    int precedence;
};
std::vector<RegisteredPlugin> fake_registered_plugins();
void fake_registered_plugins_clear();
// slapi_register_plugin fails while this is set.
void fake_refuse_plugin_registration(bool refuse);
// slapi_is_shutting_down says so while this is set.
void fake_shutting_down(bool shutting);
// Tells the watchers registered with slapi_register_backend_state_change.
void fake_backend_state_change(const char *backend, int old_state, int new_state);

// Owns an LDAPMod array (null-terminated) as the server hands it to a post-modify handler.
class FakeMods {
  public:
    // values == nullopt leaves mod_bvalues null.
    FakeMods &add(int op, const std::string &type,
                  const std::optional<std::vector<std::string>> &values);
    LDAPMod **get();

  private:
    struct Mod {
        LDAPMod mod;
        std::string type;
        std::vector<std::string> bytes;
        std::vector<berval> bvs;
        std::vector<berval *> bv_ptrs;
    };
    std::vector<std::unique_ptr<Mod>> mods_;
    std::vector<LDAPMod *> array_;
};

// The server's configuration tree as far as the plug-in touches it: entries
// added with slapi_add_internal_pb, and DSE callbacks registered and not yet
// removed.
struct DseCallback {
    int operation, flags;
    std::string base;
    int scope;
    std::string filter;
    dseCallbackFn callback;
    void *arg;
};
std::vector<DseCallback> fake_dse_callbacks();
std::vector<slapi_entry> fake_added_entries();
