#pragma once
#include <string>

#include "SoftHsm.h"

namespace vexa::sim::engine {

struct EngineOptions {
    // Where SoftHSM2's tokens and every token's own files live. Engines of
    // one process must share it (SoftHSM2 has one configuration per process).
    std::string stateDir;
    // PINs a new token is initialised with.
    std::string soPin = "12345678";
    std::string userPin = "123456";
    std::string softHsmLibrary = kDefaultSoftHsmLibrary;
};

}  // namespace vexa::sim::engine
