#include "transactions.h"

#include <string>
#include <string_view>

#include "dn.h"
#include "entries.h"
#include "exports.h"
#include "guarded.h"
#include "plugin.h"

namespace dirmirror {

namespace {

constexpr char kCommitSubsystem[] = "commit_order";

struct TakenTicket {
    const void *operation;
    Claim claim;
};

/* The thread's outermost write while its transaction runs. */
struct Write {
    const void *operation = nullptr; // null: no transaction on this thread
    bool replicated = false;
    std::vector<Change> nested;
    bool nested_lost = false;
};

/* What this thread carries from one of the server's calls for an operation
 * to the next: the server gives them no other way to pass something on. */
struct ThisThread {
    std::vector<TakenTicket> tickets;
    Write write;
    bool binding = false;
};
thread_local ThisThread this_thread;

/* Where a rename puts the entry: the new RDN under the new superior, or
 * under the old parent. */
std::string renamed_dn(Slapi_PBlock *pb, std::string_view old_dn)
{
    const RenameRequest request = rename_request(pb);
    std::string dn(request.new_rdn);
    dn += ',';
    dn += request.new_superior.value_or(parent_dn(old_dn));
    return dn;
}

/* A client's write began while another was marked: the server never ended
 * that one's transaction for the plug-in, and what was nested in it cannot
 * be placed in commit order any more. */
void abandon_write(Plugin &plugin)
{
    Write &write = this_thread.write;
    if (!write.nested.empty() || write.nested_lost) {
        log_failure(kCommitSubsystem,
                    "Операция завершилась без вызова be-txn: %zu вложенных изменений пропущены, "
                    "потребителям будет отправлен FULLSYNC\n",
                    write.nested.size());
        plugin.commit_order().resolve(plugin.commit_order().take(), std::move(write.nested), true);
    }
    write = {};
}

/* Takes the thread's write's ticket when `in_scope` says its own change is
 * published or a change nested in it is. */
template <typename InScope> int take_ticket_if(Slapi_PBlock *pb, InScope &&in_scope)
{
    guarded(kCommitSubsystem, [&] {
        Plugin *plugin = Plugin::current();
        if (plugin == nullptr || nested_in_write(pb))
            return 0; // a nested change goes with its write's
        const void *operation = operation_of(pb);
        Claim claim;
        Write &write = this_thread.write;
        if (write.operation == operation) {
            claim.nested = std::move(write.nested);
            claim.nested_lost = write.nested_lost;
            write = {};
        }
        // A write that failed takes back what was nested in it too.
        if (!succeeded(pb) || !publishable(pb, plugin->settings()))
            return 0;
        const char *dn = text_parameter(pb, SLAPI_TARGET_DN);
        const bool nested = !claim.nested.empty() || claim.nested_lost;
        if (!nested && (dn == nullptr || !in_scope(plugin->subtrees(), dn)))
            return 0;
        claim.ticket = plugin->commit_order().take();
        this_thread.tickets.push_back({operation, std::move(claim)});
        return 0;
    });
    return 0;
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
        if (!internal)
            this_thread.binding = false; // a client's write is no bind
        if (write.operation == operation) {
            // The backend retries the transaction: what was nested is rolled back.
            write.nested.clear();
            write.nested_lost = false;
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

int take_commit_ticket(Slapi_PBlock *pb)
{
    return take_ticket_if(pb, [](const SubtreeMatch &subtrees, std::string_view dn) {
        return subtrees.holds(dn);
    });
}

int take_rename_ticket(Slapi_PBlock *pb)
{
    // A rename counts when the entry leaves, stays in or enters a subtree.
    return take_ticket_if(pb, [pb](const SubtreeMatch &subtrees, std::string_view dn) {
        return subtrees.holds(dn) || subtrees.holds(renamed_dn(pb, dn));
    });
}

int begin_bind(Slapi_PBlock *)
{
    this_thread.binding = true;
    return 0;
}

int end_bind(Slapi_PBlock *)
{
    this_thread.binding = false;
    return 0;
}

Claim claim_ticket(Slapi_PBlock *pb)
{
    const void *operation = operation_of(pb);
    Claim claim;
    std::erase_if(this_thread.tickets, [&](TakenTicket &taken) {
        if (taken.operation != operation)
            return false;
        claim = std::move(taken.claim);
        return true;
    });
    return claim;
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
    Write &write = this_thread.write;
    write.nested.insert(write.nested.end(), std::make_move_iterator(changes.begin()),
                        std::make_move_iterator(changes.end()));
    write.nested_lost = write.nested_lost || lost;
}

} // namespace dirmirror
