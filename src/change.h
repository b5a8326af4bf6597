#pragma once
// A change event as the plug-in carries it from the directory to the
// publisher: its text, what its headers say, and its place in the stream.

#include <cstddef>
#include <cstdint>
#include <string>

namespace dirmirror {

/* What the message headers say about a change, besides its place. */
struct ChangeFacts {
    bool replicated = false; // reached this server by replication
    std::string entry_uuid;  // nsUniqueId, where the entry has one
    std::string csn;         // the operation's change sequence number, where it has one
    std::string subtree;     // the routing name of the subtree it belongs to
    std::string entering;    // a rename from one subtree into another: the other's name
};

/* One change event of an operation. */
struct Change {
    Change(std::string text, ChangeFacts change_facts = {})
        : body(std::move(text)), facts(std::move(change_facts))
    {
    }

    std::string body;
    ChangeFacts facts;
};

/* What a message holds in the buffer: its body, its headers and what keeps
 * it (allocations, queue nodes, the publisher's bookkeeping). */
std::size_t buffer_bytes(const Change &change);

struct Outgoing {
    enum class Kind {
        change,  // a change event: carries a sequence number when published
        control, // FULLSYNC, ALIVE or another text handed over as it is
        lost,    // events that could not be kept: consumers need a FULLSYNC
    };
    Kind kind = Kind::change;
    std::string body;
    std::uint64_t events_lost = 0; // of a loss: the change events it stands for
    std::int64_t timestamp = 0; // seconds since the epoch, when it was made
    ChangeFacts facts;          // of a change
    std::size_t buffer_bytes = 0; // taken in the buffer; the publisher gives it back
};

} // namespace dirmirror
