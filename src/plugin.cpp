#include "plugin.h"

#include <chrono>
#include <ctime>

#include "timings.h"

namespace dirmirror {

std::atomic<Plugin *> Plugin::current_{nullptr};

Plugin::Plugin(void *identity, Settings settings, std::atomic<int> &owed_flag,
               PublisherTimes times)
    : identity_(identity), settings_(std::move(settings)),
      filter_(settings_.exclude_attributes), times_(times), debt_(owed_flag, &monitor_)
{
    debt_.lost(); // consumers learn of every start with a FULLSYNC
}

Plugin &Plugin::begin(void *identity, Settings settings, std::atomic<int> &owed_flag,
                      PublisherTimes times)
{
    auto *plugin = new Plugin(identity, std::move(settings), owed_flag, times);
    plugin->replaced_.reset(current_.exchange(plugin));
    return *plugin;
}

void Plugin::start_publisher(std::string origin)
{
    std::lock_guard lock(mutex_);
    if (publisher_ != nullptr)
        return;
    stopping_ = false;
    monitor_.started(std::time(nullptr));
    publisher_ = std::make_unique<Publisher>(order_, settings_, debt_, monitor_, times_,
                                             std::move(origin));
    publisher_thread_ = std::thread([publisher = publisher_.get()] { publisher->run(); });
}

void Plugin::wait_until_fullsync_confirmed(const std::function<bool()> &give_up)
{
    // The publisher retries every few seconds; a tenth of a second costs the
    // start nothing noticeable.
    while (debt_.owed() && !stopping_ && publisher() != nullptr && !give_up())
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

void Plugin::stop_publisher()
{
    stopping_ = true;
    std::lock_guard lock(mutex_);
    if (publisher_ == nullptr)
        return;
    if (publisher_->stop(timings::kStopWait)) {
        publisher_thread_.join();
        publisher_.reset();
    } else {
        // Still blocked: the thread and its publisher are left to the
        // process's exit (this Plugin is never freed).
        publisher_thread_.detach();
        publisher_.release();
    }
}

Publisher *Plugin::publisher()
{
    std::lock_guard lock(mutex_);
    return publisher_.get();
}

} // namespace dirmirror
