#pragma once
#include <chrono>

namespace vexa::daemon {

// Interrupt and termination signals only write their number to a pipe; the
// owner learns of them in wait(), outside the handler. Broken pipe is ignored.
// One instance per process.
class CSignalPipe {
public:
    CSignalPipe();
    ~CSignalPipe();
    CSignalPipe(const CSignalPipe&) = delete;
    CSignalPipe& operator=(const CSignalPipe&) = delete;

    // The number of a signal that arrived within timeout, or 0.
    int wait(std::chrono::milliseconds timeout);
};

}  // namespace vexa::daemon
