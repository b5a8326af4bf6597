// Loads the built plug-in library the way the server does, in a process that
// also defines a function named send_message, as a server might: the
// library's calls bind to its own definitions.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <fstream>

#include "fake_host.h"
#include "test_broker.h"

using namespace std::chrono_literals;

namespace {
std::atomic<int> host_send_message_calls{0};
}

extern "C" __attribute__((visibility("default"))) void send_message(const char *)
{
    ++host_send_message_calls;
}

TEST(PluginLibrary, LoadsAndBindsItsOwnCallsInternally)
{
    fake_log_clear();
    fake_registered_plugins_clear();
    void *lib = dlopen(DIRMIRROR_PLUGIN_PATH, RTLD_NOW | RTLD_GLOBAL);
    ASSERT_NE(lib, nullptr) << dlerror();
    EXPECT_EQ(dlsym(lib, "plugin_id"), nullptr) << "the identity handle stays private";
    using Function = int (*)(Slapi_PBlock *);
    const auto init = reinterpret_cast<Function>(dlsym(lib, "get_entry_rodide_init"));
    const auto library_send_message =
        reinterpret_cast<void (*)(const char *)>(dlsym(lib, "send_message"));
    ASSERT_NE(init, nullptr);
    ASSERT_NE(library_send_message, nullptr);
    ASSERT_NE(library_send_message, &send_message);

    const std::string exchange = unique_name("dirmirror.test"), routing_key = unique_name("events");
    const std::string settings = "/tmp/" + unique_name("dirmirror-load") + ".env";
    std::ofstream(settings) << "RABBIT_HOST=127.0.0.1\nRABBIT_PORT=" << broker_port()
                            << "\nRABBIT_VHOST=/\nRABBIT_EXCHANGE=" << exchange
                            << "\nRABBIT_ROUTINGKEY=" << routing_key
                            << "\nRABBIT_USERNAME=guest\nRABBIT_PASSWORD=guest\n";
    chmod(settings.c_str(), 0600);
    *static_cast<const char **>(dlsym(lib, "path_to_config")) = settings.c_str();
    TestQueue queue(exchange, routing_key);

    int identity = 0;
    slapi_pblock pb;
    pb.ptrs[SLAPI_PLUGIN_IDENTITY] = &identity;
    ASSERT_EQ(init(&pb), 0);
    ASSERT_EQ(reinterpret_cast<Function>(pb.ptrs[SLAPI_PLUGIN_START_FN])(&pb), 0);
    // A delete as the server runs it: captured just before its commit, handed
    // over after it, by the plug-ins registered beside this one.
    auto registered = [](int slot) {
        for (const auto &plugin : fake_registered_plugins())
            if (plugin.pb->ptrs.count(slot))
                return reinterpret_cast<Function>(plugin.pb->ptrs[slot]);
        return Function{};
    };
    std::string dn = "uid=u1,cn=users,cn=accounts,dc=lab";
    slapi_entry deleted;
    slapi_pblock op;
    op.ptrs[SLAPI_TARGET_DN] = dn.data();
    op.ptrs[SLAPI_OPERATION] = &op;
    op.ptrs[SLAPI_BACKEND] = fake_database_backend();
    op.ptrs[SLAPI_ENTRY_PRE_OP] = &deleted;
    for (const int slot : {SLAPI_PLUGIN_BE_TXN_POST_DELETE_FN, SLAPI_PLUGIN_BE_POST_DELETE_FN}) {
        const Function call = registered(slot);
        ASSERT_NE(call, nullptr) << slot;
        EXPECT_EQ(call(&op), 0);
    }
    library_send_message("{\"op_type\": \"NOTE\"}");

    auto got = bodies(queue.wait_for(4, 5s));
    std::erase(got, "{\"op_type\": \"ALIVE\"}");
    EXPECT_EQ(got, (std::vector<std::string>{"{\"op_type\": \"FULLSYNC\"}",
                                             "{\"dn\":\"" + dn + "\",\"op_type\":\"delete\"}\n",
                                             "{\"op_type\": \"NOTE\"}"}));
    EXPECT_EQ(host_send_message_calls.load(), 0);
    EXPECT_EQ(reinterpret_cast<Function>(pb.ptrs[SLAPI_PLUGIN_CLOSE_FN])(&pb), 0);
    std::remove(settings.c_str());
    EXPECT_EQ(fake_log_lines().size(), 2u) << "the start-up notice and the secrets held back only";
}
