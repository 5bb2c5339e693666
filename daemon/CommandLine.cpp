#include "CommandLine.h"

#include <algorithm>

namespace vexa::daemon {

bool hasWord(const Words& words, const std::string& word)
{
    return std::find(words.begin(), words.end(), word) != words.end();
}

std::optional<std::string> findOption(const Words& words, const std::string& option)
{
    const auto found = std::find(words.begin(), words.end(), option);
    if (found == words.end() || std::next(found) == words.end()) {
        return std::nullopt;
    }
    return *std::next(found);
}

}  // namespace vexa::daemon
