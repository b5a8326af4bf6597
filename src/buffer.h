#pragma once
// The memory the plug-in may hold for events on their way to the broker:
// queued, waiting for their turn in commit order, or published and not yet
// confirmed (kept for replay). Bounded by BUFFER_MB, so that memory stays
// flat whatever the outage; what does not fit is a loss.

#include <atomic>
#include <cstddef>

namespace dirmirror {

class Buffer {
  public:
    explicit Buffer(std::size_t limit) : limit_(limit) {}
    Buffer(const Buffer &) = delete;
    Buffer &operator=(const Buffer &) = delete;

    // Takes room for `bytes`; false, taking nothing, when that would pass the limit.
    bool take(std::size_t bytes)
    {
        std::size_t used = used_.load();
        do {
            if (used + bytes > limit_)
                return false;
        } while (!used_.compare_exchange_weak(used, used + bytes));
        std::size_t high = high_water_.load();
        while (used + bytes > high && !high_water_.compare_exchange_weak(high, used + bytes)) {
        }
        return true;
    }
    void give_back(std::size_t bytes) { used_.fetch_sub(bytes); }

    std::size_t used() const { return used_.load(); }
    std::size_t high_water() const { return high_water_.load(); }
    std::size_t limit() const { return limit_; }

  private:
    const std::size_t limit_;
    std::atomic<std::size_t> used_{0}, high_water_{0};
};

} // namespace dirmirror
