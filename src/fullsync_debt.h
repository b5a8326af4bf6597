#pragma once
// What the plug-in owes consumers. Every change event consumers will not get
// is counted here, and owes them a FULLSYNC until the broker confirms one;
// nothing else writes either.

#include <atomic>
#include <cstdint>

#include "monitor.h"

namespace dirmirror {

class FullsyncDebt {
  public:
    // `owed_flag` is 1 while a FULLSYNC is owed (the exported `fullsync`);
    // `monitor` counts the events dropped and the FULLSYNCs confirmed, and
    // may be null.
    FullsyncDebt(std::atomic<int> &owed_flag, Monitor *monitor)
        : owed_flag_(owed_flag), monitor_(monitor)
    {
    }

    // `events` change events will not reach consumers (none: their copy may
    // still be missing something, as when the plug-in starts).
    void lost(std::uint64_t events = 0)
    {
        if (monitor_ != nullptr && events > 0)
            monitor_->events_dropped += events;
        owed_flag_.store(1);
    }
    // The broker confirmed a FULLSYNC; the debt is settled unless another
    // one, for a later loss, is still on its way.
    void fullsync_confirmed(bool another_pending)
    {
        if (monitor_ != nullptr)
            ++monitor_->fullsyncs_published;
        if (!another_pending)
            owed_flag_.store(0);
    }
    bool owed() const { return owed_flag_.load() != 0; }

  private:
    std::atomic<int> &owed_flag_;
    Monitor *const monitor_;
};

} // namespace dirmirror
