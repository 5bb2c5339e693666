#pragma once
// Building the environment and argument arrays of a program to start; shared
// by the simulator's command mode and the test-support library.
#include <string>
#include <utility>
#include <vector>

extern char** environ;

namespace vexa::sim {

using EnvironmentChanges = std::vector<std::pair<std::string, std::string>>;

// This process's environment as NAME=value strings, with `changes` replacing
// variables of the same name; a change to an empty value removes the variable.
inline std::vector<std::string> mergedEnvironment(const EnvironmentChanges& changes)
{
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        bool replaced = false;
        for (const auto& change : changes) {
            replaced = replaced || entry.compare(0, change.first.size() + 1, change.first + "=") == 0;
        }
        if (!replaced) {
            env.push_back(entry);
        }
    }
    for (const auto& [name, value] : changes) {
        if (!value.empty()) {
            env.push_back(name + "=" + value);
        }
    }
    return env;
}

// The null-terminated array execve and posix_spawn take; valid while
// `strings` lives unchanged.
inline std::vector<char*> nullTerminated(std::vector<std::string>& strings)
{
    std::vector<char*> out;
    for (std::string& s : strings) {
        out.push_back(s.data());
    }
    out.push_back(nullptr);
    return out;
}

}  // namespace vexa::sim
