#include "plugin.h"

#include <chrono>
#include <algorithm>
#include <cstdio>
#include <random>
#include <ctime>

#include "dn.h"
#include "log.h"
#include "timings.h"

namespace dirmirror {

std::atomic<Plugin *> Plugin::current_{nullptr};

namespace {

/* A random (version 4) UUID: a new one at each start of the plug-in. */
std::string random_run_id()
{
    std::random_device random;
    unsigned char bytes[16];
    for (auto &byte : bytes)
        byte = static_cast<unsigned char>(random());
    bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0f) | 0x40);
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3f) | 0x80);
    char text[37];
    std::snprintf(text, sizeof text,
                  "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", bytes[0],
                  bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8],
                  bytes[9], bytes[10], bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
    return text;
}

} // namespace

Plugin::Plugin(void *plugin_id, Settings settings, std::atomic<int> &owed_flag,
               PublisherTimes times)
    : plugin_id_(plugin_id), identity_{{}, random_run_id()}, settings_(std::move(settings)),
      filter_(settings_.exclude_attributes, settings_.publish_secrets), subtrees_(settings_.subtrees), times_(times),
      buffer_(static_cast<std::size_t>(settings_.buffer_mb) << 20), order_(buffer_),
      debt_(owed_flag, &monitor_)
{
    // Consumers learn of every start with a FULLSYNC, before any event.
    debt_.lost();
    order_.append_loss();
}

Plugin &Plugin::begin(void *plugin_id, Settings settings, std::atomic<int> &owed_flag,
                      PublisherTimes times)
{
    auto *plugin = new Plugin(plugin_id, std::move(settings), owed_flag, times);
    // The server initialises a plug-in again only while no operation runs
    // (it holds its plug-in lock); the one before goes, unless its publisher
    // thread was left behind at its close, and uses it still.
    std::unique_ptr<Plugin> before(current_.exchange(plugin));
    if (before != nullptr)
        before->stop_publisher();
    if (before != nullptr && before->publisher_left_behind_) {
        static std::mutex kept_mutex;
        static std::vector<std::unique_ptr<Plugin>> kept; // never freed (see plugin.h)
        std::lock_guard lock(kept_mutex);
        kept.push_back(std::move(before));
    }
    return *plugin;
}

void Plugin::start_publisher(std::string origin)
{
    std::lock_guard lock(mutex_);
    if (publisher_ != nullptr)
        return;
    stopping_ = false;
    monitor_.started(std::time(nullptr));
    identity_.origin = std::move(origin);
    publisher_ =
        std::make_unique<Publisher>(order_, buffer_, settings_, debt_, monitor_, times_, identity_);
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
        // Still blocked (a name lookup that does not end): the thread and its
        // publisher are left to the process's exit, and this Plugin is never
        // freed.
        publisher_thread_.detach();
        publisher_.release();
        publisher_left_behind_ = true;
    }
}

Monitor::Gauges Plugin::gauges()
{
    std::int64_t oldest = order_.oldest_timestamp();
    if (const auto sent = monitor_.oldest_unconfirmed.load(); sent != 0 && (oldest == 0 || sent < oldest))
        oldest = sent;
    return {order_.depth(), order_.high_water(), buffer_.used(), buffer_.high_water(),
            oldest == 0 ? 0 : std::max<std::int64_t>(0, std::time(nullptr) - oldest)};
}

void Plugin::values_replaced(const Replacements &replaced, const char *subsystem)
{
    for (const auto &[type, count] : replaced.by_type) {
        monitor_.values_replaced += count;
        std::string name = type;
        std::transform(name.begin(), name.end(), name.begin(), ascii_lower);
        {
            std::lock_guard lock(replaced_types_mutex_);
            if (!replaced_types_.insert(name).second)
                continue;
        }
        log_failure(subsystem, "Значения атрибута %s не в UTF-8: в событиях байты, "
                                        "не составляющие UTF-8, заменены символом U+FFFD (об этом "
                                        "атрибуте больше не сообщается)\n",
                    type.c_str());
    }
}

Publisher *Plugin::publisher()
{
    std::lock_guard lock(mutex_);
    return publisher_.get();
}

} // namespace dirmirror
