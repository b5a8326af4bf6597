#pragma once
// Every delay and bound of the plug-in, in one place, so that what the
// documentation promises (the server stops within 10 s; memory stays flat
// during an outage) can be read off the code.

#include <chrono>
#include <cstddef>

namespace dirmirror::timings {

using namespace std::chrono_literals;

// Connecting, each broker reply, and each publisher confirm.
inline constexpr std::chrono::milliseconds kReplyWait = 10s;
// Between FULLSYNC attempts, and between connection attempts while one is owed.
inline constexpr std::chrono::milliseconds kRetryInterval = 5s;
inline constexpr std::chrono::milliseconds kAliveEvery = 30s;
// Events handed over and confirms gather this long after a wake-up, so the
// publisher and the broker wake once per batch rather than once per event.
inline constexpr std::chrono::milliseconds kGather = 5ms;
inline constexpr std::size_t kMaxInFlight = 256;

// Once the server stops, the publisher goes on publishing what is queued for
// kFlushTime. The close function waits kStopWait for it, then shuts its
// socket down (a write to a broker that stopped reading never returns by
// itself) and waits kStopAfterInterrupt more.
inline constexpr std::chrono::milliseconds kFlushTime = 3s;
inline constexpr std::chrono::milliseconds kStopWait = 6s;
inline constexpr std::chrono::milliseconds kStopAfterInterrupt = 1s;
// The server allows a plug-in's close function 10 s.
static_assert(kFlushTime < kStopWait && kStopWait + kStopAfterInterrupt < 10s);

// An operation numbered at commit that never hands its events over holds
// later ones back this long, then counts as lost.
inline constexpr std::chrono::milliseconds kPassOverAfter = 10s;
// What the queue between the server's threads and the publisher may hold.
inline constexpr std::size_t kQueueMaxMessages = 100000;
inline constexpr std::size_t kQueueMaxBytes = 64u * 1024 * 1024;

} // namespace dirmirror::timings
