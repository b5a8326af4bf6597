#include "change.h"

namespace dirmirror {

namespace {

// What keeps a message besides its texts: the queue's and the publisher's
// records and the allocations of its strings.
constexpr std::size_t kMessageOverhead = 512;

} // namespace

std::size_t buffer_bytes(const Change &change)
{
    const ChangeFacts &facts = change.facts;
    return change.body.size() + facts.entry_uuid.size() + facts.csn.size() +
           facts.subtree.size() + facts.entering.size() + kMessageOverhead;
}

} // namespace dirmirror
