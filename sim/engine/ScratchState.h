#pragma once
#include <string>

namespace vexa::sim::engine {

// The state directory of a run without --state: fresh, private to the run,
// and removed with everything in it when the object goes, so nothing
// persists unless asked.
class ScratchState {
public:
    ScratchState();  // throws std::runtime_error
    ~ScratchState();
    ScratchState(const ScratchState&) = delete;
    ScratchState& operator=(const ScratchState&) = delete;

    const std::string& path() const { return m_path; }

private:
    std::string m_path;
};

}  // namespace vexa::sim::engine
