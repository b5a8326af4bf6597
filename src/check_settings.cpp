// dirmirror-check-settings [FILE]: reads a settings file exactly as the
// plug-in will at the server's next start, and prints the lines its error
// log would show. Exit status 0 when the plug-in would start, 1 when not.
#include <cstdio>

#include "settings.h"

int main(int argc, char **argv)
{
    if (argc > 2) {
        std::fprintf(stderr, "usage: %s [SETTINGS_FILE]\n", argv[0]);
        return 2;
    }
    const char *path = argc == 2 ? argv[1] : "/etc/quorvel/dirmirror.env";
    const auto file = dirmirror::read_settings_file(path);
    for (const auto &error : file.errors)
        std::printf("initial_config - %s\n", error.c_str());
    if (file.warning)
        std::printf("get_entry_rodide_init - %s\n", file.warning->c_str());
    if (!file.settings) {
        std::printf("get_entry_rodide_init - Не удалось инициализировать конфигурацию для "
                    "подключения к RabbitMQ\n");
        return 1;
    }
    std::printf("%s: the plug-in will start with these settings\n", path);
    return 0;
}
