#include "legacy.h"

#include "broker_link.h"
#include "deliver_once.h"
#include "guarded.h"
#include "plugin.h"

namespace dirmirror {

namespace {

constexpr char kInitSubsystem[] = "get_entry_rodide_init";
constexpr char kSettingsSubsystem[] = "initial_config";

} // namespace

void export_settings(const Settings &settings)
{
    // Set while the server initialises plug-ins, before any thread uses it.
    static Settings exported;
    exported = settings;
    connection_config = &exported;
}

int load_settings(ConnectionConfig *config, const char *path)
{
    SettingsFile file = read_settings_file(path);
    for (const auto &error : file.errors)
        log_failure(kSettingsSubsystem, "%s\n", error.c_str());
    if (file.warning)
        log_failure(kInitSubsystem, "%s\n", file.warning->c_str());
    if (!file.settings)
        return -1;
    *config = std::move(*file.settings);
    return 0;
}

int apply_settings_line(ConnectionConfig *config, const char *line)
{
    if (config == nullptr || line == nullptr)
        return -1;
    const auto errors = apply_setting_line(*config, line);
    for (const auto &error : errors)
        log_failure(kSettingsSubsystem, "%s\n", error.c_str());
    return errors.empty() ? 0 : -1;
}

void queue_control_message(const char *text)
{
    guarded(kSendSubsystem, [text] {
        Plugin *plugin = Plugin::current();
        if (plugin == nullptr) {
            log_failure(kSendSubsystem, "Плагин не инициализирован: сообщение не отправлено\n");
            return -1;
        }
        plugin->commit_order().append_control(text);
        return 0;
    });
}

int deliver_on_own_connection(const char *text)
{
    Plugin *plugin = Plugin::current();
    // Beside a running stream the FULLSYNC owed is the stream's to settle:
    // this message settles nothing, and when it fails a FULLSYNC follows in
    // the stream, in order.
    const bool beside_stream = plugin != nullptr && plugin->publisher() != nullptr;
    std::atomic<int> own_flag{0};
    FullsyncDebt debt(beside_stream ? own_flag : fullsync,
                      plugin != nullptr ? &plugin->monitor() : nullptr);
    const int result = guarded(kSendSubsystem, [text, &debt, plugin] {
        if (connection_config == nullptr) {
            log_failure(kSendSubsystem, "connection_config :: Настройки подключения не загружены\n");
            return -1;
        }
        return deliver_once(*connection_config, text, debt,
                            plugin != nullptr ? &plugin->identity() : nullptr)
                   ? 0
                   : -1;
    });
    if (result != 0 && beside_stream)
        plugin->commit_order().append_loss();
    else if (result != 0)
        debt.lost();
    return result;
}

void *run_publisher(void *publisher)
{
    guarded(kSendSubsystem, [publisher] {
        auto *to_run = static_cast<Publisher *>(publisher);
        if (to_run == nullptr)
            if (Plugin *plugin = Plugin::current())
                to_run = plugin->publisher();
        if (to_run != nullptr)
            to_run->run();
        return 0;
    });
    return nullptr;
}

} // namespace dirmirror
