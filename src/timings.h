#pragma once
// Every delay and bound of the plug-in, in one place, so that what the
// documentation promises (the server stops within 10 s, a blip costs no
// FULLSYNC) can be read off the code. The memory bound is BUFFER_MB.

#include <chrono>
#include <cstddef>

namespace dirmirror::timings {

using namespace std::chrono_literals;

// Each broker reply, and each publisher confirm.
inline constexpr std::chrono::milliseconds kReplyWait = 10s;
// Opening a connection (TCP and TLS): until it is open, nothing can cut it
// short, so it must end before a stop gives up on the publisher.
inline constexpr std::chrono::milliseconds kConnectWait = 5s;
// After a lost connection the next attempt is made at once; then the pauses
// between attempts double from kReconnectFirstPause up to kReconnectMaxPause.
inline constexpr std::chrono::milliseconds kReconnectFirstPause = 250ms;
inline constexpr std::chrono::milliseconds kReconnectMaxPause = 5s;
// A message the broker keeps refusing (nack) is published again on a fresh
// channel for this long (a quorum queue refuses until it has a new leader);
// after that it is a loss.
inline constexpr std::chrono::milliseconds kRefusalLimit = 30s;
// A write that makes no progress this long (a broker that stopped reading)
// has its socket shut down: a lost connection, then a replay.
inline constexpr std::chrono::milliseconds kStuckWrite = 10s;
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
// The server waits for every close function as long as it takes; the
// plug-in holds its stop no longer than 10 s, whatever the broker does.
static_assert(kFlushTime < kStopWait && kStopWait + kStopAfterInterrupt < 10s);
static_assert(kConnectWait < kStopWait);

// An operation numbered at commit that never hands its events over holds
// later ones back this long, then counts as lost.
inline constexpr std::chrono::milliseconds kPassOverAfter = 10s;

} // namespace dirmirror::timings
