#include "exports.h"

#include <cstdarg>
#include <iterator>

#include "broker_link.h"
#include "event_text.h"
#include "handlers.h"
#include "legacy.h"
#include "lifecycle.h"
#include "subtree.h"

extern "C" {

DM_EXPORT std::atomic<int> fullsync{1};
DM_EXPORT ConnectionConfig *connection_config = nullptr;
DM_EXPORT const char *path_to_config = "/etc/quorvel/dirmirror.env";

const Slapi_PluginDesc ldap_passing_data = {
    const_cast<char *>("virizizoroza"),
    const_cast<char *>("Velmorandi"),
    const_cast<char *>("0.1"),
    const_cast<char *>("passing data from LDAP to RabbitMQ"),
};

const char *const targets[] = {
    dirmirror::kDefaultContainerTexts[0], dirmirror::kDefaultContainerTexts[1],
    dirmirror::kDefaultContainerTexts[2], dirmirror::kDefaultContainerTexts[3],
    dirmirror::kDefaultContainerTexts[4],
};
static_assert(std::size(targets) == std::size(dirmirror::kDefaultContainerTexts));
const int targets_size = sizeof targets / sizeof targets[0];

int get_entry_rodide_init(Slapi_PBlock *pb)
{
    return dirmirror::initialize_plugin(pb);
}

int get_entry_rodide_modify(Slapi_PBlock *pb)
{
    return dirmirror::capture_modify(pb);
}

int get_entry_rodide_add(Slapi_PBlock *pb)
{
    return dirmirror::capture_add(pb);
}

int get_entry_rodide_delete(Slapi_PBlock *pb)
{
    return dirmirror::capture_delete(pb);
}

void send_message(const char *text)
{
    dirmirror::queue_control_message(text);
}

int __send_message(const char *text)
{
    return dirmirror::deliver_on_own_connection(text);
}

void *send_alive(void *publisher)
{
    return dirmirror::run_publisher(publisher);
}

int die_on_amqp_error(const char *subsystem, const char *context, amqp_rpc_reply_t reply)
{
    return dirmirror::check_amqp_reply(subsystem, context, reply) ? 0 : -1;
}

int initialize_config(ConnectionConfig *config, const char *path)
{
    return dirmirror::load_settings(config, path);
}

int set_config_fields(ConnectionConfig *config, const char *line)
{
    return dirmirror::apply_settings_line(config, line);
}

int dm_str_format(char **text, const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    const int length = dirmirror::format_new_text(text, format, arguments);
    va_end(arguments);
    return length;
}

} // extern "C"
