#include "lifecycle.h"

#include <amqp_ssl_socket.h>
#include <openssl/ssl.h>

#include <strings.h>

#include <span>
#include <string>

#include "guarded.h"
#include "handlers.h"
#include "legacy.h"
#include "monitor_entry.h"
#include "plugin.h"
#include "transactions.h"

namespace dirmirror {

namespace {

constexpr char kInitSubsystem[] = "get_entry_rodide_init";
constexpr char kBackendSubsystem[] = "backend_state";

struct PluginSlot {
    int slot;
    int (*function)(Slapi_PBlock *);
};

/* Sets the version, the description and each slot in order; stops at the
 * first the server refuses. */
int register_slots(Slapi_PBlock *pb, std::span<const PluginSlot> slots)
{
    auto *version = const_cast<char *>(SLAPI_PLUGIN_VERSION_01);
    auto *description = const_cast<Slapi_PluginDesc *>(&ldap_passing_data);
    if (slapi_pblock_set(pb, SLAPI_PLUGIN_VERSION, version) != 0 ||
        slapi_pblock_set(pb, SLAPI_PLUGIN_DESCRIPTION, description) != 0)
        return -1;
    for (const auto &row : slots)
        if (slapi_pblock_set(pb, row.slot, reinterpret_cast<void *>(row.function)) != 0)
            return -1;
    return 0;
}

/* The post-operation plug-in, registered in this order. */
constexpr PluginSlot kPluginSlots[] = {
    {SLAPI_PLUGIN_POST_BIND_FN, end_bind},
    {SLAPI_PLUGIN_START_FN, start_plugin},
    {SLAPI_PLUGIN_CLOSE_FN, close_plugin},
};

/* The be-txn pre-operation plug-in that marks the thread's write. */
constexpr PluginSlot kTransactionSlots[] = {
    {SLAPI_PLUGIN_BE_TXN_PRE_MODIFY_FN, begin_transaction},
    {SLAPI_PLUGIN_BE_TXN_PRE_ADD_FN, begin_transaction},
    {SLAPI_PLUGIN_BE_TXN_PRE_DELETE_FN, begin_transaction},
    {SLAPI_PLUGIN_BE_TXN_PRE_MODRDN_FN, begin_transaction},
};

/* The be-txn post-operation plug-in that captures each write's events just
 * before its commit, in commit order. */
constexpr PluginSlot kCaptureSlots[] = {
    {SLAPI_PLUGIN_BE_TXN_POST_MODIFY_FN, get_entry_rodide_modify},
    {SLAPI_PLUGIN_BE_TXN_POST_ADD_FN, get_entry_rodide_add},
    {SLAPI_PLUGIN_BE_TXN_POST_DELETE_FN, get_entry_rodide_delete},
    {SLAPI_PLUGIN_BE_TXN_POST_MODRDN_FN, capture_rename},
};

/* The be-post-operation plug-in that hands them over once the outcome is known. */
constexpr PluginSlot kHandOverSlots[] = {
    {SLAPI_PLUGIN_BE_POST_MODIFY_FN, hand_over},
    {SLAPI_PLUGIN_BE_POST_ADD_FN, hand_over},
    {SLAPI_PLUGIN_BE_POST_DELETE_FN, hand_over},
    {SLAPI_PLUGIN_BE_POST_MODRDN_FN, hand_over},
};

/* The pre-operation plug-ins that mark the thread's binds, and end a mark
 * that a bind left behind when another operation begins. */
constexpr PluginSlot kBindSlots[] = {
    {SLAPI_PLUGIN_PRE_BIND_FN, begin_bind},
    {SLAPI_PLUGIN_PRE_SEARCH_FN, end_bind},
    {SLAPI_PLUGIN_PRE_COMPARE_FN, end_bind},
};
constexpr PluginSlot kExtendedOperationSlots[] = {
    {SLAPI_PLUGIN_PRE_EXTOP_FN, end_bind},
};

template <const auto &slots> int register_slots_of(Slapi_PBlock *pb)
{
    return guarded(kInitSubsystem, [pb] { return register_slots(pb, slots); });
}

/* The plug-ins registered beside the post-operation one. The transaction
 * mark is set before any other plug-in's be-txn work and the events
 * captured after it, so that every change nested in a write falls between
 * them; they are handed over first thing after the commit. */
struct Companion {
    const char *type, *init_symbol, *name;
    slapi_plugin_init_fnptr init;
    int precedence; // 1 first, 99 last, 50 by default
};
constexpr Companion kCompanions[] = {
    {"betxnpreoperation", "dirmirror_transactions_init", "dirmirror transactions",
     register_slots_of<kTransactionSlots>, 1},
    {"betxnpostoperation", "dirmirror_commit_order_init", "dirmirror commit order",
     register_slots_of<kCaptureSlots>, 99},
    {"bepostoperation", "dirmirror_hand_over_init", "dirmirror hand-over",
     register_slots_of<kHandOverSlots>, 1},
    {"preoperation", "dirmirror_binds_init", "dirmirror binds", register_slots_of<kBindSlots>,
     50},
    {"preextendedop", "dirmirror_extended_operations_init", "dirmirror extended operations",
     register_slots_of<kExtendedOperationSlots>, 50},
};

int register_plugin(Slapi_PBlock *pb, void *identity)
{
    if (register_slots(pb, kPluginSlots) != 0)
        return -1;
    for (const auto &companion : kCompanions)
        if (slapi_register_plugin_ext(companion.type, 1, companion.init_symbol, companion.init,
                                      companion.name, nullptr, identity,
                                      companion.precedence) != 0)
            return -1;
    return 0;
}

/* An import, a restore or a replica initialisation replaced a backend's
 * entries without operations of their own: consumers need a FULLSYNC once
 * it is back. */
void on_backend_state(void *plugin, char *backend, int old_state, int new_state)
{
    if (old_state != SLAPI_BE_STATE_OFFLINE || new_state != SLAPI_BE_STATE_ON)
        return;
    guarded(kBackendSubsystem, [plugin, backend] {
        log_failure(kBackendSubsystem,
                    "Бэкенд %s снова доступен после импорта или восстановления: потребителям "
                    "будет отправлен FULLSYNC\n",
                    backend != nullptr ? backend : "");
        static_cast<Plugin *>(plugin)->commit_order().append_loss();
        return 0;
    });
}

/* What the plug-in needs of the server's own configuration. */
struct ServerConfig {
    std::string origin;           // "host:port" of this server as it names itself
    bool dynamic_plugins = false; // plug-ins may be started while the server runs
};

ServerConfig server_config(void *identity)
{
    ServerConfig server;
    Slapi_DN *config_dn = slapi_sdn_new_dn_byval("cn=config");
    Slapi_Entry *config = nullptr;
    char *attributes[] = {const_cast<char *>("nsslapd-localhost"),
                          const_cast<char *>("nsslapd-port"),
                          const_cast<char *>("nsslapd-dynamic-plugins"), nullptr};
    if (slapi_search_internal_get_entry(config_dn, attributes, &config, identity) == 0 &&
        config != nullptr) {
        char *host = slapi_entry_attr_get_charptr(config, "nsslapd-localhost");
        server.origin = std::string(host ? host : "") + ":" +
                        std::to_string(slapi_entry_attr_get_int(config, "nsslapd-port"));
        slapi_ch_free_string(&host);
        char *dynamic = slapi_entry_attr_get_charptr(config, "nsslapd-dynamic-plugins");
        server.dynamic_plugins = dynamic != nullptr && strcasecmp(dynamic, "on") == 0;
        slapi_ch_free_string(&dynamic);
        slapi_entry_free(config);
    }
    slapi_sdn_free(&config_dn);
    return server;
}

/* The secrets held back since this release: worth saying where a consumer
 * may have had them. */
void note_secrets_held_back(const Plugin &plugin)
{
    std::string names;
    for (const auto secret : plugin.attribute_filter().secrets_held_back())
        names += (names.empty() ? "" : ", ") + std::string(secret);
    if (!names.empty())
        log_note(kInitSubsystem,
                 "Значения атрибутов-секретов не публикуются (PUBLISH_SECRETS=off): %s\n",
                 names.c_str());
}

/* A SUBTREE base with no entry yet publishes nothing until one is made:
 * likely a typing error, so it is worth a line. */
void warn_of_missing_bases(const Plugin &plugin)
{
    if (plugin.subtrees().by_text())
        return;
    for (const auto &subtree : plugin.subtrees().subtrees()) {
        Slapi_DN *base = slapi_sdn_new_dn_byval(subtree.base.c_str());
        Slapi_Entry *entry = nullptr;
        slapi_search_internal_get_entry(base, nullptr, &entry, plugin.plugin_id());
        if (entry == nullptr)
            log_failure(kInitSubsystem,
                        "SUBTREE: записи \"%s\" нет: изменений под ней не будет, пока её не создадут\n",
                        subtree.base.c_str());
        slapi_entry_free(entry);
        slapi_sdn_free(&base);
    }
}

int set_up(Slapi_PBlock *pb)
{
    log_note(kInitSubsystem, "Инициализациия плагина\n");
    void *identity = nullptr;
    if (slapi_pblock_get(pb, SLAPI_PLUGIN_IDENTITY, &identity) != 0) {
        log_failure(kInitSubsystem, "Не удалось получить SLAPI_PLUGIN_IDENTITY\n");
        return -1;
    }
    Settings settings;
    if (load_settings(&settings, path_to_config) != 0) {
        log_failure(kInitSubsystem,
                    "Не удалось инициализировать конфигурацию для подключения к RabbitMQ\n");
        return -1;
    }
    if (settings.tls) {
        // The server shares this OpenSSL: set it up once here and leave it to
        // the process, never to the client library's clean-up.
        amqp_set_initialize_ssl_library(0);
        OPENSSL_init_ssl(0, nullptr);
    }
    // A plug-in initialised again replaces the one before, which is closed
    // now if the server did not close it.
    if (Plugin *before = Plugin::current()) {
        slapi_unregister_backend_state_change(before);
        remove_monitor_entry(*before);
        before->stop_publisher();
    }
    Plugin &plugin = Plugin::begin(identity, std::move(settings), fullsync);

    export_settings(plugin.settings());
    if (register_plugin(pb, identity) != 0) {
        log_failure(kInitSubsystem, "Не удалость забиндить плагин\n");
        return -1;
    }
    slapi_register_backend_state_change(&plugin, on_backend_state);
    return 0;
}

} // namespace

int initialize_plugin(Slapi_PBlock *pb)
{
    return guarded(kInitSubsystem, [pb] { return set_up(pb); });
}

int start_plugin(Slapi_PBlock *)
{
    return guarded(kInitSubsystem, [] {
        Plugin *plugin = Plugin::current();
        if (plugin == nullptr)
            return -1;
        if (!plugin->csn_functions().available()) {
            plugin->set_csn_functions(look_up_csn_functions());
            if (!plugin->csn_functions().available())
                log_note(kInitSubsystem, "Функции CSN сервера (operation_get_csn, csn_as_string) "
                                         "не найдены: события будут без заголовка csn\n");
        }
        if (plugin->publisher() == nullptr) { // the first start of this plug-in
            warn_of_missing_bases(*plugin);
            note_secrets_held_back(*plugin);
        }
        const ServerConfig server = server_config(plugin->plugin_id());
        plugin->start_publisher(server.origin);
        register_monitor_entry(*plugin);
        if (!plugin->settings().wait_for_broker_at_start)
            return 0;
        // With dynamic plug-ins this start may come while the server runs,
        // holding the lock every operation takes: it must not wait then.
        if (server.dynamic_plugins) {
            log_note(kInitSubsystem, "WAIT_FOR_BROKER_AT_START не действует при "
                                     "nsslapd-dynamic-plugins: on: запуск не ждёт брокера\n");
            return 0;
        }
        // The server handles its stop signal only once the start functions
        // have returned: a stop asked for meanwhile ends the wait.
        plugin->wait_until_fullsync_confirmed([] { return slapi_is_shutting_down() != 0; });
        return 0;
    });
}

int close_plugin(Slapi_PBlock *)
{
    return guarded(kInitSubsystem, [] {
        if (Plugin *plugin = Plugin::current()) {
            slapi_unregister_backend_state_change(plugin);
            remove_monitor_entry(*plugin);
            plugin->stop_publisher();
        }
        return 0;
    });
}

} // namespace dirmirror
