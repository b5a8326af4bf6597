#include "slapi_post_op.h"

#include <pthread.h>

#include <amqp.h>
#include <amqp_tcp_socket.h>

#include <chrono>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "err.h"

namespace {

constexpr char kFullsyncBody[] = "{\"op_type\": \"FULLSYNC\"}";
constexpr char kAliveBody[] = "{\"op_type\": \"ALIVE\"}";
constexpr auto kFullsyncRetryPause = std::chrono::seconds(5);
constexpr auto kAlivePause = std::chrono::seconds(30);
// A broker that stops answering (a resource alarm blocks publishers, say) must
// not hold a server thread for ever: connecting and every reply are bounded.
// The login has the client library's own bound of 12 seconds.
constexpr timeval kBrokerTimeout = {10, 0};

constexpr char kInitSubsystem[] = "get_entry_rodide_init";
constexpr char kSendSubsystem[] = "send_message";
constexpr char kModifySubsystem[] = "get_entry_modify";
constexpr char kAddSubsystem[] = "get_entry_add";
constexpr char kDeleteSubsystem[] = "get_entry_delete";

void *plugin_id = nullptr;

/* Set while one caller runs the FULLSYNC loop; the others leave the work to it. */
std::atomic<bool> fallback_running{false};

/* Runs `body` and turns any exception into a logged -1: nothing may unwind
 * into the directory server or out of the heartbeat thread. */
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

struct ConnectionDeleter {
    void operator()(amqp_connection_state_t connection) const
    {
        amqp_destroy_connection(connection);
    }
};
using Connection = std::unique_ptr<amqp_connection_state_t_, ConnectionDeleter>;

/* Connect, log in, publish on channel 1 and close again: 0 or -1 (logged). */
int publish_once(const char *text)
{
    const ConnectionConfig *config = connection_config;
    if (config == nullptr) {
        DM_LOG(kSendSubsystem, "connection_config :: Настройки подключения не загружены\n");
        return -1;
    }
    Connection conn{amqp_new_connection()};
    if (!conn) {
        DM_LOG(kSendSubsystem, "amqp_new_connection() :: Не удалось создать соединение\n");
        return -1;
    }
    amqp_socket_t *socket = amqp_tcp_socket_new(conn.get());
    if (socket == nullptr) {
        DM_LOG(kSendSubsystem, "amqp_tcp_socket_new(conn) :: Не удалось создать TCP сокет\n");
        return -1;
    }
    if (amqp_socket_open_noblock(socket, config->host, config->port, &kBrokerTimeout) != 0) {
        DM_LOG(kSendSubsystem,
               "amqp_socket_open(socket, \"%s\", %d) :: Не удалось открыть TCP сокет\n",
               config->host, config->port);
        return -1;
    }
    amqp_set_rpc_timeout(conn.get(), &kBrokerTimeout);
    const amqp_rpc_reply_t login =
        amqp_login(conn.get(), config->vhost, 0, 131072, 0, AMQP_SASL_METHOD_PLAIN,
                   config->username, config->password);
    if (die_on_amqp_error(kSendSubsystem, "amqp_login(...)", login) == -1)
        return -1;
    amqp_channel_open(conn.get(), 1);
    if (die_on_amqp_error(kSendSubsystem, "amqp_get_rpc_reply(conn)",
                          amqp_get_rpc_reply(conn.get())) == -1)
        return -1;

    amqp_basic_properties_t properties{};
    properties._flags = AMQP_BASIC_CONTENT_TYPE_FLAG | AMQP_BASIC_DELIVERY_MODE_FLAG;
    properties.content_type = amqp_cstring_bytes("text/plain");
    properties.delivery_mode = 2;
    if (amqp_basic_publish(conn.get(), 1, amqp_cstring_bytes(config->exchange),
                           amqp_cstring_bytes(config->routingkey), 0, 0, &properties,
                           amqp_cstring_bytes(text)) < 0) {
        DM_LOG(kSendSubsystem,
               "amqp_basic_publish(exchange=\"%s\", routingkey=\"%s\") :: Не удалось "
               "опубликовать сообщение",
               config->exchange, config->routingkey);
        return -1;
    }
    // The broker reports a refused publish (say, no such exchange) only by
    // closing the channel, so the closing replies decide whether it landed.
    if (die_on_amqp_error(kSendSubsystem, "amqp_channel_close(conn, 1, AMQP_REPLY_SUCCESS)",
                          amqp_channel_close(conn.get(), 1, AMQP_REPLY_SUCCESS)) == -1)
        return -1;
    if (die_on_amqp_error(kSendSubsystem, "amqp_connection_close(conn, AMQP_REPLY_SUCCESS)",
                          amqp_connection_close(conn.get(), AMQP_REPLY_SUCCESS)) == -1)
        return -1;
    if (amqp_destroy_connection(conn.release()) < 0) {
        DM_LOG(kSendSubsystem, "amqp_destroy_connection(conn) :: Не удалось разорвать соединение");
        return -1;
    }
    return 0;
}

/* Sends FULLSYNC every few seconds until one is delivered. Only one caller
 * loops at a time: the others return at once, so a broker outage parks one
 * server thread instead of all of them. */
void run_fullsync_loop()
{
    bool expected = false;
    if (!fallback_running.compare_exchange_strong(expected, true))
        return;
    for (;;) {
        while (fullsync.load() == 1) {
            __send_message(kFullsyncBody);
            std::this_thread::sleep_for(kFullsyncRetryPause);
        }
        fallback_running.store(false);
        // A failure that came in while we were handing over found the loop
        // still taken and left: look again so that its FULLSYNC is not lost.
        if (fullsync.load() == 0)
            return;
        expected = false;
        if (!fallback_running.compare_exchange_strong(expected, true))
            return;
    }
}

/* The frame every handler shares: skip failed operations, read the DN and
 * run `publish_for_target` once per container the DN lies in. */
template <typename PublishForTarget>
int handle_operation(Slapi_PBlock *pb, const char *subsystem, PublishForTarget &&publish_for_target)
{
    return guarded(subsystem, [&]() -> int {
        int operation_result = 0;
        if (slapi_pblock_get(pb, SLAPI_PLUGIN_OPRETURN, &operation_result) == 0 &&
            operation_result != 0)
            return 0;
        char *dn = nullptr;
        if (slapi_pblock_get(pb, SLAPI_TARGET_DN, &dn) != 0 || dn == nullptr) {
            DM_LOG(subsystem, "Не удалось получить DN\n");
            return -1;
        }
        for (int row = 0; row < targets_size; ++row) {
            if (dirmirror::contains_ascii_case_insensitive(dn, targets[row]) &&
                publish_for_target(dn) == -1)
                return -1;
        }
        return 0;
    });
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

struct PostOpHandler {
    int slot;
    int (*handler)(Slapi_PBlock *);
};

/* Registered in this order. */
constexpr PostOpHandler kPostOpHandlers[] = {
    {SLAPI_PLUGIN_POST_MODIFY_FN, get_entry_rodide_modify},
    {SLAPI_PLUGIN_POST_ADD_FN, get_entry_rodide_add},
    {SLAPI_PLUGIN_POST_DELETE_FN, get_entry_rodide_delete},
};

/* The server calls this once it runs as a daemon. A thread started during
 * the init call would not survive: the server forks to detach after loading
 * its plug-ins, and only the forking thread lives on in the child. */
int start_heartbeat(Slapi_PBlock *)
{
    return guarded(kInitSubsystem, [] {
        static std::once_flag started;
        std::call_once(started, [] {
            pthread_t heartbeat;
            if (pthread_create(&heartbeat, nullptr, send_alive, nullptr) == 0)
                pthread_detach(heartbeat);
        });
        return 0;
    });
}

int register_plugin(Slapi_PBlock *pb)
{
    auto *version = const_cast<char *>(SLAPI_PLUGIN_VERSION_01);
    auto *description = const_cast<Slapi_PluginDesc *>(&ldap_passing_data);
    if (slapi_pblock_set(pb, SLAPI_PLUGIN_VERSION, version) != 0 ||
        slapi_pblock_set(pb, SLAPI_PLUGIN_DESCRIPTION, description) != 0)
        return -1;
    for (const auto &row : kPostOpHandlers)
        if (slapi_pblock_set(pb, row.slot, reinterpret_cast<void *>(row.handler)) != 0)
            return -1;
    return slapi_pblock_set(pb, SLAPI_PLUGIN_START_FN, reinterpret_cast<void *>(start_heartbeat));
}

int initialize_plugin(Slapi_PBlock *pb)
{
    DM_LOG(kInitSubsystem, "Инициализациия плагина\n");
    if (slapi_pblock_get(pb, SLAPI_PLUGIN_IDENTITY, &plugin_id) != 0) {
        DM_LOG(kInitSubsystem, "Не удалось получить SLAPI_PLUGIN_IDENTITY\n");
        return -1;
    }
    // Kept for the life of the process: the heartbeat and every handler read it.
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

    send_message(kFullsyncBody);

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
    const int result = guarded(kSendSubsystem, [&] { return publish_once(text); });
    if (result != 0) {
        fullsync.store(1);
        return -1;
    }
    // Only a delivered FULLSYNC tells consumers to catch up on what was lost.
    if (std::strcmp(text, kFullsyncBody) == 0)
        fullsync.store(0);
    return 0;
}

void send_message(const char *text)
{
    guarded(kSendSubsystem, [&] {
        // The failed message itself is dropped; the FULLSYNC stands for it.
        if (__send_message(text) != 0)
            run_fullsync_loop();
        return 0;
    });
}

void *send_alive(void *)
{
    for (;;) {
        send_message(kAliveBody);
        std::this_thread::sleep_for(kAlivePause);
    }
    return nullptr;
}

int get_entry_rodide_delete(Slapi_PBlock *pb)
{
    return handle_operation(pb, kDeleteSubsystem, [](std::string_view dn) {
        send_message(dirmirror::delete_event_text(dn).c_str());
        return 0;
    });
}

int get_entry_rodide_modify(Slapi_PBlock *pb)
{
    return handle_operation(pb, kModifySubsystem, [pb](std::string_view dn) {
        LDAPMod **mods = nullptr;
        if (slapi_pblock_get(pb, SLAPI_MODIFY_MODS, &mods) != 0 || mods == nullptr) {
            DM_LOG(kModifySubsystem, "Ошибка получения LDAPMod array\n");
            return -1;
        }
        for (int index = 0; mods[index] != nullptr; ++index) {
            const LDAPMod *mod = mods[index];
            const auto values = modification_values(mod);
            send_message(dirmirror::modify_event_text(index, dn, mod->mod_op,
                                                      mod->mod_type ? mod->mod_type : "", values)
                             .c_str());
        }
        return 0;
    });
}

int get_entry_rodide_add(Slapi_PBlock *pb)
{
    return handle_operation(pb, kAddSubsystem, [pb](std::string_view dn) {
        Slapi_Entry *entry = nullptr;
        if (slapi_pblock_get(pb, SLAPI_ADD_ENTRY, &entry) != 0 || entry == nullptr) {
            DM_LOG(kAddSubsystem, "Ошибка получения Entry\n");
            return -1;
        }
        const auto attributes = entry_attributes(entry);
        send_message(dirmirror::add_event_text(dn, attributes).c_str());
        return 0;
    });
}

int get_entry_rodide_init(Slapi_PBlock *pb)
{
    return guarded(kInitSubsystem, [pb] { return initialize_plugin(pb); });
}

} // extern "C"
