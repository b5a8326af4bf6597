#include "transactions.h"

#include <iterator>

#include "entries.h"
#include "guarded.h"
#include "plugin.h"

namespace dirmirror {

namespace {

constexpr char kCommitSubsystem[] = "commit_order";

/* An outermost operation's events between its be-txn post-operation call
 * and its be-post-operation call. */
struct Captured {
    const void *operation;
    std::uint64_t ticket;
    std::vector<Change> changes;
    bool lost = false;
};

/* The thread's outermost write while its transaction runs. */
struct Write {
    const void *operation = nullptr; // null: no transaction on this thread
    bool replicated = false;
    Nested nested;
};

/* What this thread carries from one of the server's calls for an operation
 * to the next: the server gives them no other way to pass something on. */
struct ThisThread {
    std::vector<Captured> captured;
    Write write;
    bool binding = false;
};
thread_local ThisThread this_thread;

/* A client's write began while another was marked: the server never ended
 * that one's transaction for the plug-in, and what was nested in it cannot
 * be placed in commit order any more. */
void abandon_write(Plugin &plugin)
{
    Write &write = this_thread.write;
    if (!write.nested.changes.empty() || write.nested.lost) {
        log_failure(kCommitSubsystem,
                    "Операция завершилась без вызова be-txn: %zu вложенных изменений пропущены, "
                    "потребителям будет отправлен FULLSYNC\n",
                    write.nested.changes.size());
        plugin.commit_order().resolve(plugin.commit_order().take(),
                                      std::move(write.nested.changes), true);
    }
    write = {};
}

/* A client's write began while events of an earlier operation on this
 * thread were still captured: the server never told that one's outcome, so
 * its events can be neither published nor dropped. */
void abandon_captured(Plugin &plugin)
{
    for (auto &captured : this_thread.captured) {
        log_failure(kCommitSubsystem,
                    "Операция №%llu завершилась без вызова be-post-operation: её события "
                    "пропущены, потребителям будет отправлен FULLSYNC\n",
                    static_cast<unsigned long long>(captured.ticket));
        plugin.commit_order().resolve(captured.ticket, {}, true);
    }
    this_thread.captured.clear();
}

} // namespace

bool publishable(Slapi_PBlock *pb, const Settings &settings)
{
    if (slapi_op_internal(pb) && (!settings.publish_internal || this_thread.binding))
        return false;
    return !(is_replicated(pb) && !settings.publish_replicated);
}

bool nested_publishable(const Settings &settings)
{
    return settings.publish_internal &&
           !(this_thread.write.replicated && !settings.publish_replicated);
}

int begin_transaction(Slapi_PBlock *pb)
{
    guarded(kCommitSubsystem, [pb] {
        Plugin *plugin = Plugin::current();
        if (plugin == nullptr)
            return 0;
        Write &write = this_thread.write;
        const void *operation = operation_of(pb);
        const bool internal = slapi_op_internal(pb) != 0;
        if (!internal) {
            this_thread.binding = false; // a client's write is no bind
            abandon_captured(*plugin);
        }
        if (write.operation == operation) {
            // The backend retries the transaction: what was nested is rolled back.
            write.nested = {};
            return 0;
        }
        if (write.operation != nullptr) {
            if (internal)
                return 0; // nested in the write in progress
            abandon_write(*plugin);
        }
        write.operation = operation;
        write.replicated = is_replicated(pb);
        return 0;
    });
    return 0;
}

Nested end_write(Slapi_PBlock *pb)
{
    Write &write = this_thread.write;
    if (write.operation != operation_of(pb))
        return {};
    Nested nested = std::move(write.nested);
    write = {};
    return nested;
}

bool nested_in_write(Slapi_PBlock *pb)
{
    const void *write = this_thread.write.operation;
    return write != nullptr && write != operation_of(pb);
}

bool nesting_write_replicated()
{
    return this_thread.write.replicated;
}

void gather_nested(std::vector<Change> changes, bool lost)
{
    Nested &nested = this_thread.write.nested;
    nested.changes.insert(nested.changes.end(), std::make_move_iterator(changes.begin()),
                          std::make_move_iterator(changes.end()));
    nested.lost = nested.lost || lost;
}

void capture(Slapi_PBlock *pb, std::vector<Change> changes, bool lost)
{
    Plugin *plugin = Plugin::current();
    if (plugin == nullptr)
        return;
    const std::uint64_t ticket = plugin->commit_order().take();
    try {
        this_thread.captured.push_back({operation_of(pb), ticket, std::move(changes), lost});
    } catch (...) {
        plugin->commit_order().resolve(ticket, {}, true);
        throw;
    }
}

int hand_over(Slapi_PBlock *pb)
{
    guarded(kCommitSubsystem, [pb] {
        auto &captured = this_thread.captured;
        const void *operation = operation_of(pb);
        for (auto it = captured.begin(); it != captured.end(); ++it) {
            if (it->operation != operation)
                continue;
            Captured taken = std::move(*it);
            captured.erase(it);
            if (Plugin *plugin = Plugin::current()) {
                // A write that failed at or after its commit publishes nothing.
                if (succeeded(pb))
                    plugin->commit_order().resolve(taken.ticket, std::move(taken.changes),
                                                   taken.lost);
                else
                    plugin->commit_order().resolve(taken.ticket, {}, false);
            }
            break;
        }
        return 0;
    });
    return 0;
}

int begin_bind(Slapi_PBlock *)
{
    this_thread.binding = true;
    return 0;
}

int end_bind(Slapi_PBlock *pb)
{
    // A bind's own internal searches reach the pre-operation plug-ins too.
    if (!slapi_op_internal(pb))
        this_thread.binding = false;
    return 0;
}

} // namespace dirmirror
