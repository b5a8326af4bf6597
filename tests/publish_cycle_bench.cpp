// The cost the plug-in pays per message, measured outside the server: N
// publish attempts exactly as the plug-in makes them (connect, log in, open a
// channel, publish, close), to the broker named in a settings file.
// Usage: publish_cycle_bench SETTINGS_FILE COUNT
// Prints: {"cycles":N,"failed":F,"seconds":S,"per_cycle_ms":M}
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "slapi_post_op.h"

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s SETTINGS_FILE COUNT\n", argv[0]);
        return 2;
    }
    static ConnectionConfig config;
    if (initialize_config(&config, argv[1]) != 0)
        return 1;
    connection_config = &config;
    const long count = std::atol(argv[2]);
    long failed = 0;
    const auto started = std::chrono::steady_clock::now();
    for (long i = 0; i < count; ++i)
        failed += __send_message("{\"dn\":\"uid=bench,cn=users,cn=accounts,dc=lab\",\"op_type\":\"delete\"}\n") != 0;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("{\"cycles\":%ld,\"failed\":%ld,\"seconds\":%.3f,\"per_cycle_ms\":%.3f}\n", count, failed,
                seconds, count ? seconds * 1000 / static_cast<double>(count) : 0.0);
    return failed ? 1 : 0;
}
