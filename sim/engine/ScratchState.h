#pragma once
#include <string>

namespace vexa::sim::engine {

// The state directory of a run without --state: fresh, private to the run,
// and removed with everything in it when the object goes, so nothing
// persists unless asked.
class CScratchState {
public:
    CScratchState();  // throws std::runtime_error
    ~CScratchState();
    CScratchState(const CScratchState&) = delete;
    CScratchState& operator=(const CScratchState&) = delete;

    const std::string& path() const { return m_path; }

private:
    std::string m_path;
};

}  // namespace vexa::sim::engine
