#include "csn.h"

#include <dlfcn.h>

namespace dirmirror {

namespace {

// A CSN's text and its terminator (CSN_STRSIZE in the server's sources).
constexpr int kCsnTextSize = 21;

} // namespace

CsnFunctions look_up_csn_functions()
{
    CsnFunctions functions;
    functions.operation_get_csn =
        reinterpret_cast<decltype(functions.operation_get_csn)>(dlsym(RTLD_DEFAULT, "operation_get_csn"));
    functions.csn_as_string =
        reinterpret_cast<decltype(functions.csn_as_string)>(dlsym(RTLD_DEFAULT, "csn_as_string"));
    return functions;
}

std::string csn_of(Slapi_PBlock *pb, const CsnFunctions &functions)
{
    if (!functions.available())
        return {};
    Slapi_Operation *operation = nullptr;
    if (slapi_pblock_get(pb, SLAPI_OPERATION, &operation) != 0 || operation == nullptr)
        return {};
    const ServerCsn *csn = functions.operation_get_csn(operation);
    if (csn == nullptr)
        return {};
    char text[kCsnTextSize] = {};
    functions.csn_as_string(csn, PR_FALSE, text);
    return text;
}

} // namespace dirmirror
