// Loads the built plug-in library the way the server does, in a process that
// also defines a function named send_message, as a server might.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

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
    void *lib = dlopen(DIRMIRROR_PLUGIN_PATH, RTLD_NOW | RTLD_GLOBAL);
    ASSERT_NE(lib, nullptr) << dlerror();
    ASSERT_NE(dlsym(lib, "get_entry_rodide_init"), nullptr);
    EXPECT_EQ(dlsym(lib, "plugin_id"), nullptr) << "the identity handle stays private";

    const std::string exchange = unique_name("dirmirror.test"), routing_key = unique_name("events");
    ConnectionConfig config = broker_config(exchange, routing_key);
    *static_cast<ConnectionConfig **>(dlsym(lib, "connection_config")) = &config;
    *static_cast<std::atomic<int> *>(dlsym(lib, "fullsync")) = 0; // no FULLSYNC owed
    TestQueue queue(exchange, routing_key);

    using Handler = int (*)(Slapi_PBlock *);
    const auto delete_handler = reinterpret_cast<Handler>(dlsym(lib, "get_entry_rodide_delete"));
    ASSERT_NE(delete_handler, nullptr);
    std::string dn = "uid=u1,cn=users,cn=accounts,dc=lab";
    slapi_pblock pb;
    pb.ints[SLAPI_PLUGIN_OPRETURN] = 0;
    pb.ptrs[SLAPI_TARGET_DN] = dn.data();
    EXPECT_EQ(delete_handler(&pb), 0);
    // The exported publisher thread body delivers it (and an ALIVE first).
    using ThreadBody = void *(*)(void *);
    const auto publisher_body = reinterpret_cast<ThreadBody>(dlsym(lib, "send_alive"));
    ASSERT_NE(publisher_body, nullptr);
    std::thread(publisher_body, nullptr).detach();

    EXPECT_EQ(host_send_message_calls.load(), 0);
    EXPECT_TRUE(fake_log_lines().empty());
    EXPECT_EQ(bodies(queue.wait_for(2, 5s)),
              (std::vector<std::string>{"{\"op_type\": \"ALIVE\"}",
                                        "{\"dn\":\"" + dn + "\",\"op_type\":\"delete\"}\n"}));
}
