#pragma once
// The one owner of the plug-in's state.
//
// Lifetimes, once:
// - A Plugin is made by the init function from the settings it read, and
//   becomes current; the host's callbacks reach it through current(). It is
//   never freed: a later init (a test, or the server re-enabling the plug-in)
//   makes a new one current, which keeps the one it replaced, since a
//   handler or a publisher thread left behind at close may still use it.
// - The settings, the attribute filter, the subtrees, the monitor's counters, the buffer,
//   the commit order and the FULLSYNC debt live as long as the Plugin.
// - The publisher and its thread live from the start function to the close
//   function. A thread that does not finish in time (a write the broker never
//   takes) is left to the process's exit, and its publisher with it.
// - The monitor entry's callbacks are registered by the start function and
//   removed by the close function.

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "buffer.h"
#include "commit_order.h"
#include "csn.h"
#include "fullsync_debt.h"
#include "monitor.h"
#include "publisher.h"
#include "attribute_filter.h"
#include "settings.h"
#include "subtree_match.h"

namespace dirmirror {

class Plugin {
  public:
    // Makes the state from `settings` and makes it current. `owed_flag` is
    // the exported FULLSYNC flag: a new plug-in owes consumers a FULLSYNC.
    static Plugin &begin(void *plugin_id, Settings settings, std::atomic<int> &owed_flag,
                         PublisherTimes times = {});
    // The plug-in the host's callbacks serve; null before the first init.
    static Plugin *current() { return current_.load(); }

    // The server's handle for this plug-in, for its internal operations.
    void *plugin_id() const { return plugin_id_; }
    // Who publishes, in every message's headers: this server, and this start
    // of the plug-in (a random run_id made here).
    const Identity &identity() const { return identity_; }
    // The server's CSN functions, looked up by init (missing: null).
    const CsnFunctions &csn_functions() const { return csn_functions_; }
    void set_csn_functions(CsnFunctions functions) { csn_functions_ = functions; }
    const Settings &settings() const { return settings_; }
    // For the exported `connection_config`, which C callers see as mutable.
    Settings &settings_in_effect() { return settings_; }
    const AttributeFilter &attribute_filter() const { return filter_; }
    const SubtreeMatch &subtrees() const { return subtrees_; }
    CommitOrder &commit_order() { return order_; }
    Monitor &monitor() { return monitor_; }
    // What the monitor entry reads at each search.
    Monitor::Gauges gauges();

    // Starts the publisher thread, once; `origin` names this server
    // ("host:port") in the headers.
    void start_publisher(std::string origin);
    // Waits until consumers are owed nothing (the first FULLSYNC confirmed),
    // the publisher is stopped, or `give_up()` says so.
    void wait_until_fullsync_confirmed(const std::function<bool()> &give_up);
    // Stops the publisher thread within timings::kStopWait plus
    // timings::kStopAfterInterrupt.
    void stop_publisher();
    // The running publisher (null before the start and after the close).
    Publisher *publisher();

    // Whether the monitor entry's callbacks are registered; flipped by the
    // monitor entry's own code under the start and close functions.
    bool monitor_entry_registered = false;

  private:
    Plugin(void *plugin_id, Settings settings, std::atomic<int> &owed_flag, PublisherTimes times);

    static std::atomic<Plugin *> current_;

    void *const plugin_id_;
    Identity identity_;
    CsnFunctions csn_functions_;
    Settings settings_;
    const AttributeFilter filter_;
    const SubtreeMatch subtrees_;
    const PublisherTimes times_;
    Monitor monitor_;
    Buffer buffer_;
    CommitOrder order_;
    FullsyncDebt debt_;

    std::mutex mutex_; // the start and close functions
    std::unique_ptr<Publisher> publisher_;
    std::thread publisher_thread_;
    std::atomic<bool> stopping_{false};
    std::unique_ptr<Plugin> replaced_; // never freed either (see above)
};

} // namespace dirmirror
