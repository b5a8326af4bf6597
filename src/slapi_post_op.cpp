#include "slapi_post_op.h"

#include <pthread.h>
#include <sys/stat.h>

#include <amqp_ssl_socket.h>
#include <openssl/ssl.h>

#include <atomic>
#include <chrono>
#include <cstring>
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
constexpr char kCommitSubsystem[] = "commit_order";

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

Publisher &current_publisher()
{
    std::lock_guard lock(publisher_mutex);
    if (publisher == nullptr)
        publisher = new Publisher(commit_order(), connection_config, fullsync,
                                  {kBrokerReplyWait, kFullsyncRetryPause,
                                   std::chrono::seconds(30), std::chrono::seconds(3), 256,
                                   std::chrono::milliseconds(5)});
    return *publisher;
}

/* What of each attribute may be published; replaced only at start-up. */
std::atomic<const dirmirror::AttributeFilter *> attribute_filter{new dirmirror::AttributeFilter()};

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

int dirmirror::take_commit_ticket(Slapi_PBlock *pb)
{
    guarded(kCommitSubsystem, [pb] {
        // Internal operations have no post-operation call of ours to hand over events.
        if (slapi_op_internal(pb))
            return 0;
        int operation_result = 0;
        if (slapi_pblock_get(pb, SLAPI_PLUGIN_OPRETURN, &operation_result) == 0 &&
            operation_result != 0)
            return 0;
        char *dn = nullptr;
        if (slapi_pblock_get(pb, SLAPI_TARGET_DN, &dn) != 0 || dn == nullptr || !in_a_container(dn))
            return 0;
        void *operation = nullptr;
        slapi_pblock_get(pb, SLAPI_OPERATION, &operation);
        tickets_taken.push_back({operation, commit_order().take()});
        return 0;
    });
    return 0;
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
};

int commit_order_plugin_init(Slapi_PBlock *pb)
{
    return guarded(kInitSubsystem, [pb] { return register_slots(pb, kCommitOrderSlots); });
}

/* The frame every handler shares: skip failed operations, read the DN, let
 * `build_for_target` add the events for each container the DN lies in, and
 * hand them over under the ticket the operation took at commit. */
template <typename BuildForTarget>
int handle_operation(Slapi_PBlock *pb, const char *subsystem, BuildForTarget &&build_for_target)
{
    std::uint64_t ticket = 0;
    std::vector<std::string> events;
    bool built = false;
    const int result = guarded(subsystem, [&]() -> int {
        ticket = claim_ticket(pb);
        int operation_result = 0;
        if (slapi_pblock_get(pb, SLAPI_PLUGIN_OPRETURN, &operation_result) == 0 &&
            operation_result != 0) {
            built = true;
            return 0;
        }
        char *dn = nullptr;
        if (slapi_pblock_get(pb, SLAPI_TARGET_DN, &dn) != 0 || dn == nullptr) {
            DM_LOG(subsystem, "Не удалось получить DN\n");
            built = true;
            return -1;
        }
        for (int row = 0; row < targets_size; ++row) {
            if (dirmirror::contains_ascii_case_insensitive(dn, targets[row]) &&
                build_for_target(dn, events) == -1)
                break;
        }
        built = true;
        return 0;
    });
    guarded(subsystem, [&] {
        // An operation the backend did not number (one without transactions)
        // takes its place now. Events that could not be built owe a FULLSYNC.
        if (ticket == 0 && (!events.empty() || !built))
            ticket = commit_order().take();
        if (ticket != 0)
            commit_order().resolve(ticket, std::move(events), !built);
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

} // namespace

void dirmirror::exclude_attributes(std::string_view excluded)
{
    // The filter it replaces may be in use by a handler: it is kept.
    attribute_filter.store(new AttributeFilter(excluded));
}

int dirmirror::start_publisher(Slapi_PBlock *)
{
    return guarded(kInitSubsystem, [] {
        Publisher *const started = &current_publisher();
        std::lock_guard lock(publisher_mutex);
        if (!publisher_thread.joinable())
            publisher_thread = std::thread([started] { send_alive(started); });
        return 0;
    });
}

int dirmirror::stop_publisher(Slapi_PBlock *)
{
    return guarded(kInitSubsystem, [] {
        std::lock_guard lock(publisher_mutex);
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
    {SLAPI_PLUGIN_START_FN, dirmirror::start_publisher},
    {SLAPI_PLUGIN_CLOSE_FN, dirmirror::stop_publisher},
};

int register_plugin(Slapi_PBlock *pb)
{
    if (register_slots(pb, kPluginSlots) != 0)
        return -1;
    // The tickets that fix commit order are taken by a be-txn post-operation
    // plug-in of our own, registered alongside.
    return slapi_register_plugin("betxnpostoperation", 1, "dirmirror_commit_order_init",
                                 commit_order_plugin_init, "dirmirror commit order", nullptr,
                                 plugin_id);
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
    DM_LOG(kInitSubsystem, "Инициализациия плагина\n");
    if (slapi_pblock_get(pb, SLAPI_PLUGIN_IDENTITY, &plugin_id) != 0) {
        DM_LOG(kInitSubsystem, "Не удалось получить SLAPI_PLUGIN_IDENTITY\n");
        return -1;
    }
    // Kept for the life of the process: the publisher and every handler read it.
    auto *config = new (std::nothrow) ConnectionConfig{};
    if (config == nullptr) {
        DM_LOG(kInitSubsystem, "Не удалось выделить память\n");
        return -1;
    }
    if (initialize_config(config, path_to_config) != 0) {
        delete config;
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
    if (std::strcmp(text, kFullsyncBody) == 0)
        fullsync.store(0);
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
    return handle_operation(pb, kDeleteSubsystem,
                            [](std::string_view dn, std::vector<std::string> &events) {
                                events.push_back(dirmirror::delete_event_text(dn));
                                return 0;
                            });
}

int get_entry_rodide_modify(Slapi_PBlock *pb)
{
    int result = 0;
    const int frame_result = handle_operation(
        pb, kModifySubsystem, [pb, &result](std::string_view dn, std::vector<std::string> &events) {
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
        });
    return frame_result != 0 ? frame_result : result;
}

int get_entry_rodide_add(Slapi_PBlock *pb)
{
    int result = 0;
    const int frame_result = handle_operation(
        pb, kAddSubsystem, [pb, &result](std::string_view dn, std::vector<std::string> &events) {
            Slapi_Entry *entry = nullptr;
            if (slapi_pblock_get(pb, SLAPI_ADD_ENTRY, &entry) != 0 || entry == nullptr) {
                DM_LOG(kAddSubsystem, "Ошибка получения Entry\n");
                result = -1;
                return -1;
            }
            auto attributes = entry_attributes(entry);
            std::erase_if(attributes, [](const dirmirror::AttributeValues &attribute) {
                return verdict(attribute.type) != dirmirror::AttributeFilter::Verdict::publish;
            });
            events.push_back(dirmirror::add_event_text(dn, attributes));
            return 0;
        });
    return frame_result != 0 ? frame_result : result;
}

int get_entry_rodide_init(Slapi_PBlock *pb)
{
    return guarded(kInitSubsystem, [pb] { return initialize_plugin(pb); });
}

} // extern "C"
