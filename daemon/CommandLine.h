#pragma once
#include <optional>
#include <string>
#include <vector>

namespace vexa::daemon {

// The command line after the program name, one element per word. There is no
// option grammar: words are matched whole, wherever they stand.
using Words = std::vector<std::string>;

bool hasWord(const Words& words, const std::string& word);

// The element after the first occurrence of option, whatever it is (even
// another option or a command word); empty when the option is absent or last.
std::optional<std::string> findOption(const Words& words, const std::string& option);

}  // namespace vexa::daemon
