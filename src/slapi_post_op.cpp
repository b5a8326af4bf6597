#include "slapi_post_op.h"

#include <pthread.h>
#include <strings.h>
#include <sys/stat.h>

#include <amqp_ssl_socket.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "commit_order.h"
#include "monitor.h"
#include "publisher.h"

namespace {

using dirmirror::CommitOrder;
using dirmirror::kAliveBody;
using dirmirror::kFullsyncBody;
using dirmirror::Publisher;

constexpr auto kFullsyncRetryPause = std::chrono::seconds(5);
// The publisher gets this long to flush when the server stops, and the server
// waits for it at most this long, so that it stops within 10 s.
constexpr auto kStopWait = std::chrono::seconds(6);
constexpr auto kBrokerReplyWait = std::chrono::milliseconds(10000);

constexpr char kInitSubsystem[] = "get_entry_rodide_init";
constexpr char kSendSubsystem[] = "send_message";
constexpr char kModifySubsystem[] = "get_entry_modify";
constexpr char kAddSubsystem[] = "get_entry_add";
constexpr char kDeleteSubsystem[] = "get_entry_delete";
constexpr char kModrdnSubsystem[] = "get_entry_modrdn";
constexpr char kCommitSubsystem[] = "commit_order";
constexpr char kMonitorSubsystem[] = "monitor";

void *plugin_id = nullptr;

/* Runs `body` and turns any exception into a logged -1: nothing may unwind
 * into the directory server or out of the publisher thread. */
template <typename Body> int guarded(const char *subsystem, Body &&body) noexcept
{
    try {
        return body();
    } catch (const std::bad_alloc &) {
        DM_LOG(subsystem, "Не удалось выделить память\n");
    } catch (const std::exception &e) {
        DM_LOG(subsystem, "Непредвиденная ошибка: %s\n", e.what());
    } catch (...) {
        DM_LOG(subsystem, "Непредвиденная ошибка\n");
    }
    return -1;
}

/* Lives as long as the process: a publisher thread the server did not wait
 * for may still use it while the process exits. */
CommitOrder &commit_order()
{
    static CommitOrder *const order = new CommitOrder();
    return *order;
}

/* The publisher and its thread, between the start and the close function. */
std::mutex publisher_mutex;
Publisher *publisher = nullptr;
std::thread publisher_thread;

/* "host:port" of this server as its configuration names it. */
std::string server_origin()
{
    std::string origin;
    Slapi_DN *config_dn = slapi_sdn_new_dn_byval("cn=config");
    Slapi_Entry *config = nullptr;
    char *attributes[] = {const_cast<char *>("nsslapd-localhost"),
                          const_cast<char *>("nsslapd-port"), nullptr};
    if (slapi_search_internal_get_entry(config_dn, attributes, &config, plugin_id) == 0 &&
        config != nullptr) {
        char *host = slapi_entry_attr_get_charptr(config, "nsslapd-localhost");
        origin = std::string(host ? host : "") + ":" +
                 std::to_string(slapi_entry_attr_get_int(config, "nsslapd-port"));
        slapi_ch_free_string(&host);
        slapi_entry_free(config);
    }
    slapi_sdn_free(&config_dn);
    return origin;
}

Publisher &current_publisher()
{
    std::lock_guard lock(publisher_mutex);
    if (publisher == nullptr)
        publisher = new Publisher(commit_order(), connection_config, fullsync,
                                  {kBrokerReplyWait, kFullsyncRetryPause,
                                   std::chrono::seconds(30), std::chrono::seconds(3), 256,
                                   std::chrono::milliseconds(5)},
                                  server_origin());
    return *publisher;
}

/* Makes a T that lives as long as the process. What start-up makes (the
 * settings, the attribute filter) may be replaced by a later start-up while
 * a handler or the publisher still reads the old one, so nothing made is
 * freed (a deque never moves its elements). */
template <typename T, typename... Args> T *kept_for_the_process(Args &&...args)
{
    static std::mutex mutex;
    static std::deque<T> kept;
    std::lock_guard lock(mutex);
    return &kept.emplace_back(std::forward<Args>(args)...);
}

/* What of each attribute may be published; replaced only at start-up. */
std::atomic<const dirmirror::AttributeFilter *> attribute_filter{
    kept_for_the_process<dirmirror::AttributeFilter>()};

dirmirror::AttributeFilter::Verdict verdict(std::string_view type)
{
    return attribute_filter.load()->verdict(type);
}

bool in_a_container(std::string_view dn)
{
    for (int row = 0; row < targets_size; ++row)
        if (dirmirror::contains_ascii_case_insensitive(dn, targets[row]))
            return true;
    return false;
}

/* Tickets taken inside the backend transaction, by operation, until that
 * operation's post-operation call on the same thread claims them. */
struct TakenTicket {
    const void *operation;
    std::uint64_t ticket;
};
thread_local std::vector<TakenTicket> tickets_taken;

/* The ticket of this operation, or 0 (tickets start at 1). */
std::uint64_t claim_ticket(Slapi_PBlock *pb)
{
    void *operation = nullptr;
    slapi_pblock_get(pb, SLAPI_OPERATION, &operation);
    std::uint64_t ticket = 0;
    std::erase_if(tickets_taken, [&](const TakenTicket &taken) {
        if (taken.operation != operation)
            return false;
        ticket = taken.ticket;
        return true;
    });
    return ticket;
}

} // namespace

namespace {

/* Whether the settings let this operation be published: replicated and
 * internal ones only when asked for. */
bool publishable(Slapi_PBlock *pb)
{
    const ConnectionConfig *config = connection_config;
    if (slapi_op_internal(pb) && (config == nullptr || !config->publish_internal))
        return false;
    int replicated = 0;
    slapi_pblock_get(pb, SLAPI_IS_REPLICATED_OPERATION, &replicated);
    return !(replicated && config != nullptr && !config->publish_replicated);
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
    dn += superior ? std::string_view(superior) : dirmirror::parent_dn(old_dn);
    return dn;
}

/* Takes the operation's ticket when `in_scope` says it may publish. */
template <typename InScope> int take_ticket_if(Slapi_PBlock *pb, InScope &&in_scope)
{
    guarded(kCommitSubsystem, [&] {
        if (!publishable(pb) || !succeeded(pb))
            return 0;
        const char *dn = text_parameter(pb, SLAPI_TARGET_DN);
        if (dn == nullptr || !in_scope(dn))
            return 0;
        void *operation = nullptr;
        slapi_pblock_get(pb, SLAPI_OPERATION, &operation);
        tickets_taken.push_back({operation, commit_order().take()});
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

dirmirror::ChangeFacts change_facts(Slapi_PBlock *pb)
{
    dirmirror::ChangeFacts facts;
    int replicated = 0;
    slapi_pblock_get(pb, SLAPI_IS_REPLICATED_OPERATION, &replicated);
    facts.replicated = replicated != 0;
    if (const Slapi_Entry *entry = operation_entry(pb))
        if (const char *uuid = slapi_entry_get_uniqueid(entry))
            facts.entry_uuid = uuid;
    return facts;
}

} // namespace

int dirmirror::take_commit_ticket(Slapi_PBlock *pb)
{
    return take_ticket_if(pb, [](std::string_view dn) { return in_a_container(dn); });
}

int dirmirror::take_rename_ticket(Slapi_PBlock *pb)
{
    // A rename counts when the entry leaves, stays in or enters a container.
    return take_ticket_if(pb, [pb](std::string_view dn) {
        return in_a_container(dn) || in_a_container(renamed_dn(pb, dn));
    });
}

namespace {

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

constexpr PluginSlot kCommitOrderSlots[] = {
    {SLAPI_PLUGIN_BE_TXN_POST_MODIFY_FN, dirmirror::take_commit_ticket},
    {SLAPI_PLUGIN_BE_TXN_POST_ADD_FN, dirmirror::take_commit_ticket},
    {SLAPI_PLUGIN_BE_TXN_POST_DELETE_FN, dirmirror::take_commit_ticket},
    {SLAPI_PLUGIN_BE_TXN_POST_MODRDN_FN, dirmirror::take_rename_ticket},
};

int commit_order_plugin_init(Slapi_PBlock *pb)
{
    return guarded(kInitSubsystem, [pb] { return register_slots(pb, kCommitOrderSlots); });
}

constexpr PluginSlot kInternalOperationSlots[] = {
    {SLAPI_PLUGIN_INTERNAL_POST_MODIFY_FN, get_entry_rodide_modify},
    {SLAPI_PLUGIN_INTERNAL_POST_ADD_FN, get_entry_rodide_add},
    {SLAPI_PLUGIN_INTERNAL_POST_DELETE_FN, get_entry_rodide_delete},
    {SLAPI_PLUGIN_INTERNAL_POST_MODRDN_FN, dirmirror::publish_rename},
};

int internal_operations_plugin_init(Slapi_PBlock *pb)
{
    return guarded(kInitSubsystem, [pb] { return register_slots(pb, kInternalOperationSlots); });
}

bool is_tombstone(const Slapi_Entry *entry);

/* Runs `build` once per container the DN lies in; it stops at the first -1. */
template <typename Build> auto for_each_container(Build &&build)
{
    return [build](std::string_view dn, std::vector<std::string> &events) {
        for (int row = 0; row < targets_size; ++row)
            if (dirmirror::contains_ascii_case_insensitive(dn, targets[row]) &&
                build(dn, events) == -1)
                return;
    };
}

/* The frame every handler shares: skip failed operations and those the
 * settings keep back, read the DN, let `build` add the operation's events,
 * and hand them over under the ticket the operation took at commit. */
template <typename Build> int handle_operation(Slapi_PBlock *pb, const char *subsystem, Build &&build)
{
    std::uint64_t ticket = 0;
    std::vector<std::string> events;
    bool built = false;
    dirmirror::ChangeFacts facts;
    const int result = guarded(subsystem, [&]() -> int {
        ticket = claim_ticket(pb);
        if (!succeeded(pb) || !publishable(pb) || is_tombstone(operation_entry(pb))) {
            built = true;
            return 0;
        }
        facts = change_facts(pb);
        char *dn = nullptr;
        if (slapi_pblock_get(pb, SLAPI_TARGET_DN, &dn) != 0 || dn == nullptr) {
            DM_LOG(subsystem, "Не удалось получить DN\n");
            built = true;
            return -1;
        }
        build(dn, events);
        built = true;
        return 0;
    });
    guarded(subsystem, [&] {
        // An operation the backend did not number (one without transactions)
        // takes its place now. Events that could not be built owe a FULLSYNC.
        if (ticket == 0 && (!events.empty() || !built))
            ticket = commit_order().take();
        if (ticket != 0)
            commit_order().resolve(ticket, std::move(events), !built, std::move(facts));
        return 0;
    });
    return result;
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
std::vector<dirmirror::AttributeValues> entry_attributes(const Slapi_Entry *entry)
{
    std::vector<dirmirror::AttributeValues> attributes;
    Slapi_Attr *attr = nullptr;
    if (slapi_entry_first_attr(entry, &attr) != 0 || attr == nullptr) {
        DM_LOG(kAddSubsystem, "Ошибка получения первого атрибута Entry\n");
        return attributes;
    }
    char *type = nullptr;
    if (slapi_attr_get_type(attr, &type) != 0 || type == nullptr) {
        DM_LOG(kAddSubsystem, "Ошибка получения типа атрибута\n");
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
std::vector<dirmirror::AttributeValues> published_attributes(const Slapi_Entry *entry)
{
    auto attributes = entry_attributes(entry);
    std::erase_if(attributes, [](const dirmirror::AttributeValues &attribute) {
        return verdict(attribute.type) != dirmirror::AttributeFilter::Verdict::publish;
    });
    return attributes;
}

} // namespace

void dirmirror::exclude_attributes(std::string_view excluded)
{
    attribute_filter.store(kept_for_the_process<AttributeFilter>(excluded));
}

namespace {

/* The monitor entry: an entry of the server's configuration tree that is
 * filled in at each search, so nothing of it is ever written to dse.ldif. */
constexpr char kMonitorDn[] = "cn=dirmirror,cn=monitor";
constexpr char kMonitorFilter[] = "(objectclass=*)";
bool monitor_registered = false; // guarded by publisher_mutex

int fill_monitor_entry(Slapi_PBlock *, Slapi_Entry *entry, Slapi_Entry *, int *returncode, char *,
                       void *)
{
    guarded(kMonitorSubsystem, [entry] {
        const CommitOrder &order = commit_order();
        for (const auto &[type, value] :
             dirmirror::monitor().attributes(connection_config, {order.depth(), order.high_water()}))
            slapi_entry_attr_set_charptr(entry, type.c_str(), value.c_str());
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
void add_monitor_entry()
{
    Slapi_Entry *entry = slapi_entry_alloc();
    slapi_entry_init(entry, slapi_ch_strdup(kMonitorDn), nullptr);
    slapi_entry_add_string(entry, "objectclass", "top");
    slapi_entry_add_string(entry, "objectclass", "extensibleObject");
    slapi_entry_add_string(entry, "cn", "dirmirror");
    Slapi_PBlock *pb = slapi_pblock_new();
    int dont_write = 1;
    slapi_add_entry_internal_set_pb(pb, entry, nullptr, static_cast<Slapi_ComponentId *>(plugin_id), 0); // takes the entry
    slapi_pblock_set(pb, SLAPI_DSE_DONT_WRITE_WHEN_ADDING, &dont_write);
    slapi_add_internal_pb(pb);
    int result = LDAP_OPERATIONS_ERROR;
    slapi_pblock_get(pb, SLAPI_PLUGIN_INTOP_RESULT, &result);
    slapi_pblock_destroy(pb);
    if (result != LDAP_SUCCESS && result != LDAP_ALREADY_EXISTS)
        DM_LOG(kMonitorSubsystem, "Не удалось создать запись %s: код LDAP %d\n", kMonitorDn,
               result);
}

void register_monitor_entry()
{
    if (monitor_registered)
        return;
    add_monitor_entry();
    for (const auto &row : kMonitorCallbacks)
        // 1 when registered, 0 when not.
        if (slapi_config_register_callback(row.operation, DSE_FLAG_PREOP, kMonitorDn,
                                           LDAP_SCOPE_BASE, kMonitorFilter, row.callback,
                                           nullptr) == 0)
            DM_LOG(kMonitorSubsystem, "Не удалось зарегистрировать обработчик записи %s\n",
                   kMonitorDn);
    monitor_registered = true;
}

void remove_monitor_callbacks()
{
    if (!monitor_registered)
        return;
    for (const auto &row : kMonitorCallbacks)
        slapi_config_remove_callback(row.operation, DSE_FLAG_PREOP, kMonitorDn, LDAP_SCOPE_BASE,
                                     kMonitorFilter, row.callback);
    monitor_registered = false;
}

} // namespace

int dirmirror::start_publisher(Slapi_PBlock *)
{
    return guarded(kInitSubsystem, [] {
        Publisher *const started = &current_publisher();
        std::lock_guard lock(publisher_mutex);
        if (!publisher_thread.joinable()) {
            monitor().started(std::time(nullptr));
            publisher_thread = std::thread([started] { send_alive(started); });
        }
        register_monitor_entry();
        return 0;
    });
}

int dirmirror::stop_publisher(Slapi_PBlock *)
{
    return guarded(kInitSubsystem, [] {
        std::lock_guard lock(publisher_mutex);
        remove_monitor_callbacks();
        if (publisher == nullptr)
            return 0;
        if (publisher->stop(kStopWait)) {
            if (publisher_thread.joinable())
                publisher_thread.join();
            delete publisher;
        } else if (publisher_thread.joinable()) {
            publisher_thread.detach(); // still blocked: the process's exit ends it
        }
        publisher = nullptr;
        return 0;
    });
}

namespace {

/* Registered in this order. */
constexpr PluginSlot kPluginSlots[] = {
    {SLAPI_PLUGIN_POST_MODIFY_FN, get_entry_rodide_modify},
    {SLAPI_PLUGIN_POST_ADD_FN, get_entry_rodide_add},
    {SLAPI_PLUGIN_POST_DELETE_FN, get_entry_rodide_delete},
    {SLAPI_PLUGIN_POST_MODRDN_FN, dirmirror::publish_rename},
    {SLAPI_PLUGIN_START_FN, dirmirror::start_publisher},
    {SLAPI_PLUGIN_CLOSE_FN, dirmirror::stop_publisher},
};

int register_plugin(Slapi_PBlock *pb)
{
    if (register_slots(pb, kPluginSlots) != 0)
        return -1;
    // The tickets that fix commit order are taken by a be-txn post-operation
    // plug-in of our own, registered alongside; changes other plug-ins make
    // (internal operations) reach an internal post-operation one.
    if (slapi_register_plugin("betxnpostoperation", 1, "dirmirror_commit_order_init",
                              commit_order_plugin_init, "dirmirror commit order", nullptr,
                              plugin_id) != 0)
        return -1;
    return slapi_register_plugin("internalpostoperation", 1, "dirmirror_internal_init",
                                 internal_operations_plugin_init, "dirmirror internal operations",
                                 nullptr, plugin_id);
}

/* The settings hold the broker's password. */
void warn_if_others_can_read(const char *path)
{
    struct stat status {};
    if (stat(path, &status) == 0 && (status.st_mode & (S_IRGRP | S_IROTH)) != 0)
        DM_LOG(kInitSubsystem,
               "Файл настроек %s доступен для чтения не только владельцу (права %04o), а в нём "
               "пароль брокера: оставьте права 0600\n",
               path, static_cast<unsigned>(status.st_mode & 07777));
}

/* Start-up waits until the broker has confirmed a FULLSYNC, trying every 5 s. */
void deliver_first_fullsync()
{
    if (__send_message(kFullsyncBody) == 0)
        return;
    while (fullsync.load() == 1) {
        __send_message(kFullsyncBody);
        std::this_thread::sleep_for(kFullsyncRetryPause);
    }
}

int initialize_plugin(Slapi_PBlock *pb)
{
    DM_LOG_NOTE(kInitSubsystem, "Инициализациия плагина\n");
    if (slapi_pblock_get(pb, SLAPI_PLUGIN_IDENTITY, &plugin_id) != 0) {
        DM_LOG(kInitSubsystem, "Не удалось получить SLAPI_PLUGIN_IDENTITY\n");
        return -1;
    }
    ConnectionConfig *config = nullptr;
    try {
        config = kept_for_the_process<ConnectionConfig>();
    } catch (const std::bad_alloc &) {
        DM_LOG(kInitSubsystem, "Не удалось выделить память\n");
        return -1;
    }
    if (initialize_config(config, path_to_config) != 0) {
        DM_LOG(kInitSubsystem,
               "Не удалось инициализировать конфигурацию для подключения к RabbitMQ\n");
        return -1;
    }
    connection_config = config;
    warn_if_others_can_read(path_to_config);
    dirmirror::exclude_attributes(config->exclude_attributes);
    if (config->tls) {
        // The server shares this OpenSSL: set it up once here and leave it to
        // the process, never to the client library's clean-up.
        amqp_set_initialize_ssl_library(0);
        OPENSSL_init_ssl(0, nullptr);
    }

    deliver_first_fullsync();

    if (register_plugin(pb) != 0) {
        DM_LOG(kInitSubsystem, "Не удалость забиндить плагин\n");
        return -1;
    }
    return 0;
}

} // namespace

extern "C" {

DM_EXPORT DM_ATOMIC_INT fullsync{1};
DM_EXPORT ConnectionConfig *connection_config = nullptr;

const Slapi_PluginDesc ldap_passing_data = {
    const_cast<char *>("virizizoroza"),
    const_cast<char *>("Velmorandi"),
    const_cast<char *>("0.1"),
    const_cast<char *>("passing data from LDAP to RabbitMQ"),
};

const char *const targets[] = {
    "cn=users,cn=accounts",  "cn=computers,cn=accounts",  "cn=orgunits,cn=accounts",
    "cn=groups,cn=accounts", "cn=hostgroups,cn=accounts",
};
const int targets_size = sizeof targets / sizeof targets[0];

int __send_message(const char *text)
{
    const int result = guarded(kSendSubsystem, [&] {
        return dirmirror::publish_confirmed_once(connection_config, text, kBrokerReplyWait) ? 0
                                                                                            : -1;
    });
    if (result != 0) {
        fullsync.store(1);
        return -1;
    }
    // Only a confirmed FULLSYNC tells consumers to catch up on what was lost.
    if (std::strcmp(text, kFullsyncBody) == 0) {
        fullsync.store(0);
        ++dirmirror::monitor().fullsyncs_published;
    }
    return 0;
}

void send_message(const char *text)
{
    guarded(kSendSubsystem, [&] {
        commit_order().append_control(text);
        return 0;
    });
}

void *send_alive(void *publisher_to_run)
{
    guarded(kSendSubsystem, [publisher_to_run] {
        // The start function names its publisher, so that a close that comes
        // first cannot leave this thread to make a new one.
        auto *to_run = static_cast<Publisher *>(publisher_to_run);
        (to_run != nullptr ? *to_run : current_publisher()).run();
        return 0;
    });
    return nullptr;
}

int get_entry_rodide_delete(Slapi_PBlock *pb)
{
    return handle_operation(pb, kDeleteSubsystem, for_each_container([](std::string_view dn, auto &events) {
                                events.push_back(dirmirror::delete_event_text(dn));
                                return 0;
                            }));
}

int get_entry_rodide_modify(Slapi_PBlock *pb)
{
    int result = 0;
    const int frame_result = handle_operation(
        pb, kModifySubsystem,
        for_each_container([pb, &result](std::string_view dn, std::vector<std::string> &events) {
            LDAPMod **mods = nullptr;
            if (slapi_pblock_get(pb, SLAPI_MODIFY_MODS, &mods) != 0 || mods == nullptr) {
                DM_LOG(kModifySubsystem, "Ошибка получения LDAPMod array\n");
                result = -1;
                return -1;
            }
            using Verdict = dirmirror::AttributeFilter::Verdict;
            int published = 0;
            for (int index = 0; mods[index] != nullptr; ++index) {
                const LDAPMod *mod = mods[index];
                const std::string_view type = mod->mod_type ? mod->mod_type : "";
                const Verdict shown = verdict(type);
                if (shown == Verdict::never)
                    continue;
                // An excluded attribute is named, so consumers learn it changed.
                const auto values = shown == Verdict::publish ? modification_values(mod)
                                                              : std::vector<std::string_view>{};
                events.push_back(
                    dirmirror::modify_event_text(published++, dn, mod->mod_op, type, values));
            }
            return 0;
        }));
    return frame_result != 0 ? frame_result : result;
}

int get_entry_rodide_add(Slapi_PBlock *pb)
{
    int result = 0;
    const int frame_result = handle_operation(
        pb, kAddSubsystem,
        for_each_container([pb, &result](std::string_view dn, std::vector<std::string> &events) {
            Slapi_Entry *entry = nullptr;
            if (slapi_pblock_get(pb, SLAPI_ADD_ENTRY, &entry) != 0 || entry == nullptr) {
                DM_LOG(kAddSubsystem, "Ошибка получения Entry\n");
                result = -1;
                return -1;
            }
            events.push_back(dirmirror::add_event_text(dn, published_attributes(entry)));
            return 0;
        }));
    return frame_result != 0 ? frame_result : result;
}


int get_entry_rodide_init(Slapi_PBlock *pb)
{
    return guarded(kInitSubsystem, [pb] { return initialize_plugin(pb); });
}

} // extern "C"

int dirmirror::publish_rename(Slapi_PBlock *pb)
{
    return handle_operation(pb, kModrdnSubsystem, [pb](std::string_view old_dn, auto &events) {
        Slapi_Entry *entry = nullptr;
        if (slapi_pblock_get(pb, SLAPI_ENTRY_POST_OP, &entry) != 0 || entry == nullptr) {
            DM_LOG(kModrdnSubsystem, "Ошибка получения Entry\n");
            return;
        }
        const char *new_dn = slapi_entry_get_dn_const(entry);
        if (new_dn == nullptr || !(in_a_container(old_dn) || in_a_container(new_dn)))
            return;
        Slapi_DN *new_superior = nullptr;
        slapi_pblock_get(pb, SLAPI_MODRDN_NEWSUPERIOR_SDN, &new_superior);
        const char *superior = new_superior ? slapi_sdn_get_dn(new_superior) : nullptr;
        int delete_old_rdn = 0;
        slapi_pblock_get(pb, SLAPI_MODRDN_DELOLDRDN, &delete_old_rdn);
        const char *new_rdn = text_parameter(pb, SLAPI_MODRDN_NEWRDN);
        dirmirror::Rename rename{old_dn, new_dn, new_rdn ? new_rdn : "", delete_old_rdn != 0,
                                 superior ? std::optional<std::string_view>(superior)
                                          : std::nullopt};
        events.push_back(dirmirror::modrdn_event_text(rename, published_attributes(entry)));
    });
}
