#pragma once
// One message delivered on a connection of its own, beside the publisher's
// stream: what the older exported __send_message does.

#include <chrono>
#include <string_view>

#include "fullsync_debt.h"
#include "settings.h"
#include "timings.h"

namespace dirmirror {

struct Identity;

/* One message on a connection of its own, waiting for the broker's confirm:
 * true when confirmed. A failure owes `debt` a FULLSYNC; a confirmed
 * FULLSYNC settles it. */
bool deliver_once(const Settings &settings, std::string_view body, FullsyncDebt &debt,
                  const Identity *identity = nullptr,
                  std::chrono::milliseconds reply_wait = timings::kReplyWait);

} // namespace dirmirror
