#pragma once
// The one owner of the plug-in's state.
//
// Lifetimes, once:
// - A Plugin is made by the init function from the settings it read, and
//   becomes current; the host's callbacks reach it through current(). A
//   later init (a test, or the server starting the plug-in again) makes a
//   new one current and frees the one it replaced, unless that one's
//   publisher thread was left behind at its close (see below).
// - The settings, the attribute filter, the subtrees, the monitor's counters, the buffer,
//   the commit order and the FULLSYNC debt live as long as the Plugin.
// - The publisher and its thread live from the start function to the close
//   function. Every call it makes ends within the close's bound (a write or
//   read is cut short by shutting its socket down); only a name lookup that
//   never ends leaves it behind, to the process's exit, with its publisher.
// - The monitor entry's callbacks are registered by the start function and
//   removed by the close function.

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "buffer.h"
#include "commit_order.h"
#include "csn.h"
#include "event_text.h"
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
    const AttributeFilter &attribute_filter() const { return filter_; }
    const SubtreeMatch &subtrees() const { return subtrees_; }
    CommitOrder &commit_order() { return order_; }
    Monitor &monitor() { return monitor_; }
    // What the monitor entry reads at each search.
    Monitor::Gauges gauges();
    // Values an event carried with U+FFFD in place of bytes that are not
    // UTF-8: counted, and logged once per attribute type.
    void values_replaced(const Replacements &replaced, const char *subsystem);

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
    const Settings settings_;
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
    bool publisher_left_behind_ = false; // at a close: this Plugin is never freed
    std::mutex replaced_types_mutex_;
    std::set<std::string> replaced_types_; // logged already, in lower case
};

} // namespace dirmirror
