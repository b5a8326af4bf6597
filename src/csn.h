#pragma once
// The change sequence number the server gives an operation on a replicated
// suffix. The server's library exports the two functions that read it, but
// its development package declares neither: they are declared here, with the
// CSN itself opaque, and looked up in the running server.

#include <slapi-plugin.h>

#include <string>

namespace dirmirror {

struct ServerCsn; // the server's CSN; only its functions look inside

struct CsnFunctions {
    ServerCsn *(*operation_get_csn)(Slapi_Operation *operation) = nullptr;
    char *(*csn_as_string)(const ServerCsn *csn, PRBool replica_id_order, char *text) = nullptr;
    bool available() const { return operation_get_csn != nullptr && csn_as_string != nullptr; }
};

/* The functions as the running server exports them; missing ones are null. */
CsnFunctions look_up_csn_functions();

/* The operation's CSN as text ("5f2e8c4a000000010000"); empty where the server
 * assigns none (a suffix without replication) or the functions are missing. */
std::string csn_of(Slapi_PBlock *pb, const CsnFunctions &functions);

} // namespace dirmirror
