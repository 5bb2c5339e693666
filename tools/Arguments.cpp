#include "Arguments.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "Errors.h"

namespace vexa::tool {
namespace {

const OptionSpec* findSpec(const std::vector<OptionSpec>& specs, const std::string& name)
{
    const auto found = std::find_if(specs.begin(), specs.end(), [&](const OptionSpec& s) { return s.name == name; });
    return found == specs.end() ? nullptr : &*found;
}

bool isOption(const std::string& word) { return word.size() > 1 && word[0] == '-'; }

}  // namespace

CArguments::CArguments(const std::vector<std::string>& words, const std::vector<OptionSpec>& specs,
                       const std::string& command)
{
    bool optionsEnded = false;
    for (size_t i = 0; i < words.size(); ++i) {
        const std::string& word = words[i];
        if (optionsEnded || !isOption(word)) {
            m_positional.push_back(word);
            continue;
        }
        if (word == "--") {
            optionsEnded = true;
            continue;
        }
        if (word == "--help" || word == "-h") {
            m_help = true;
            continue;
        }
        const size_t eq = word.find('=');
        const std::string name = word.substr(0, eq);
        const OptionSpec* spec = findSpec(specs, name);
        if (spec == nullptr) {
            throw UsageError("unknown option '" + name + "'", command);
        }
        if (spec->valueName.empty()) {
            if (eq != std::string::npos) {
                throw UsageError(name + " takes no value", command);
            }
            m_values[name] = "";
        } else if (eq != std::string::npos) {
            m_values[name] = word.substr(eq + 1);
        } else if (i + 1 < words.size()) {
            m_values[name] = words[++i];
        } else {
            throw UsageError(name + " needs a value: " + spec->valueName, command);
        }
    }
}

std::optional<std::string> CArguments::value(const std::string& option) const
{
    const auto found = m_values.find(option);
    if (found == m_values.end()) {
        return std::nullopt;
    }
    return found->second;
}

unsigned long parseNumber(const std::string& text, const std::string& what, unsigned long max,
                          const std::string& command)
{
    const bool digitsOnly =
        !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
    errno = 0;
    const unsigned long long value = digitsOnly ? std::strtoull(text.c_str(), nullptr, 10) : 0;
    if (!digitsOnly || errno == ERANGE || value > max) {
        throw UsageError(what + " must be a number from 0 to " + std::to_string(max) + ", not '" + text + "'", command);
    }
    return static_cast<unsigned long>(value);
}

}  // namespace vexa::tool
