#pragma once
// What the monitor entry shows: counters the delivery path bumps without a
// lock, the state of the broker connection, and the last failure logged.
// Nothing here knows the directory server; the entry itself is host glue.

#include <atomic>
#include <cstdint>
#include <ctime>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "settings.h"

namespace dirmirror {

class Monitor {
  public:
    using Counter = std::atomic<std::uint64_t>;
    static_assert(Counter::is_always_lock_free, "counters are bumped on the event path");

    Counter events_published{0};    // change events the broker confirmed
    Counter events_dropped{0};      // change events consumers will not get (a FULLSYNC covers them)
    Counter fullsyncs_published{0}; // FULLSYNCs the broker confirmed
    Counter events_replayed{0};     // change events published again after a lost connection
    Counter values_replaced{0};     // values published with U+FFFD for bytes that are not UTF-8
    std::atomic<bool> broker_blocked{false}; // the broker takes no publishes for now
    // When the oldest message published and not yet confirmed was made
    // (seconds since the epoch); 0: none. The publisher keeps it.
    std::atomic<std::int64_t> oldest_unconfirmed{0};

    void started(std::time_t when) { start_time_.store(when); }
    // "host:port" of the node the publisher is connected to; empty: none.
    void broker_node(std::string node);
    // A failure as the error log shows it.
    void failure(std::string_view text, std::time_t when) noexcept;

    // What the monitor reads from elsewhere at each search.
    struct Gauges {
        std::uint64_t queue_depth = 0, queue_high_water = 0; // messages
        std::uint64_t buffer_bytes = 0, buffer_high_water = 0;
        std::int64_t lag_seconds = 0; // age of the oldest event not yet confirmed
    };
    // What a reader sees.
    enum class Reader {
        anyone,        // the counters only
        administrator, // the broker link, the last error and the settings too
    };
    // The entry's attributes, in order: type and value; the settings in
    // effect last, never the broker password.
    std::vector<std::pair<std::string, std::string>> attributes(const Settings &settings,
                                                                Gauges gauges,
                                                                Reader reader) const;

  private:
    std::atomic<std::time_t> start_time_{0};
    mutable std::mutex mutex_; // for the texts, which change only on failures and reconnections
    std::string node_, last_error_;
    std::time_t last_error_time_ = 0;
};

/* LDAP GeneralizedTime in UTC ("20261208093000Z"), as cn=monitor shows times. */
std::string generalized_time(std::time_t when);

} // namespace dirmirror
