#pragma once
// The words after a command's name: options (--name VALUE, --name=VALUE,
// flags) anywhere, "--" ending them, and the positional arguments.
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace vexa::tool {

struct OptionSpec {
    std::string name;       // with its dashes: "--pin"
    std::string valueName;  // empty for a flag
    std::string help;
};

class CArguments {
public:
    // Throws UsageError (naming `command`) for an unknown option or a missing value.
    CArguments(const std::vector<std::string>& words, const std::vector<OptionSpec>& specs, const std::string& command);

    const std::vector<std::string>& positional() const { return m_positional; }
    bool has(const std::string& option) const { return m_values.count(option) != 0; }
    std::optional<std::string> value(const std::string& option) const;
    bool help() const { return m_help; }

private:
    std::vector<std::string> m_positional;
    std::map<std::string, std::string> m_values;  // flags map to ""
    bool m_help = false;
};

// Conversions of positional words; each throws UsageError naming `command`.
unsigned long parseNumber(const std::string& text, const std::string& what, unsigned long max,
                          const std::string& command);

}  // namespace vexa::tool
