// Runs the library core in a process of its own, configured the way an
// application's library would be (vexaconfig.json looked up from DIR):
//
//   vexa_pkcs11_probe DIR slots         initialise, print "slot ID NAME TIMEOUT"
//   vexa_pkcs11_probe DIR settime N     initialise, set the clock of slot 0 N times
//
// Both finalise at the end. Exit status 0 when every call succeeded.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "CContext.h"

using vexa::pkcs11::CContext;

namespace {

int printSlots(CContext& context)
{
    for (CK_SLOT_ID id = 0; id < 64; ++id) {
        vexa::pkcs11::CHeldSlot held(context.callPath(), id);
        if (corvel::CTransport* transport = held.lockedTransport()) {
            std::printf("slot %lu %s %u\n", id, transport->getName(), transport->getTimeout());
        }
    }
    return 0;
}

int setTime(CContext& context, long count)
{
    long failures = 0;
    for (long i = 0; i < count; ++i) {
        failures += context.bSetDateTime(0) ? 0 : 1;
    }
    std::printf("failures %ld\n", failures);
    return failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3 || ::chdir(argv[1]) != 0) {
        std::fprintf(stderr, "usage: %s DIR slots | DIR settime N\n", argv[0]);
        return 2;
    }
    const std::string mode = argv[2];
    CContext& context = CContext::instance();
    const CK_RV initialised = context.C_Initialize(nullptr);
    if (initialised != CKR_OK) {
        std::printf("C_Initialize 0x%lx\n", initialised);
        return 1;
    }
    int status = 2;
    if (mode == "slots") {
        status = printSlots(context);
    } else if (mode == "settime" && argc > 3) {
        status = setTime(context, std::strtol(argv[3], nullptr, 10));
    }
    const CK_RV finalised = context.C_Finalize(nullptr);
    std::fflush(stdout);
    return finalised == CKR_OK ? status : 1;
}
