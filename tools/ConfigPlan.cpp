#include "ConfigPlan.h"

#include <array>
#include <optional>

#include "Arguments.h"
#include "Errors.h"

namespace vexa::tool {
namespace {

constexpr unsigned long kByteMax = 0xFF;
constexpr unsigned long kWordMax = 0xFFFF;

int valueIndex(const std::string& name, const std::string& command)
{
    static const std::array<const char*, 4> kNames = {"config1", "config2", "config3", "config4"};
    for (size_t i = 0; i < kNames.size(); ++i) {
        if (name == kNames[i]) {
            return int(i);
        }
    }
    throw UsageError("unknown configuration value '" + name + "' (config1 to config4)", command);
}

}  // namespace

std::vector<ConfigStep> planConfigChange(const std::vector<std::pair<std::string, std::string>>& assignments,
                                         const std::string& command)
{
    std::array<std::optional<uint32_t>, 4> values;
    for (const auto& [name, text] : assignments) {
        const int index = valueIndex(name, command);
        if (values[index]) {
            throw UsageError(name + " given twice", command);
        }
        values[index] = uint32_t(parseNumber(text, name, index == 3 ? kWordMax : kByteMax, command));
    }
    std::vector<ConfigStep> steps;
    if (values[0]) {
        steps.push_back({ConfigCall::Byte, *values[0], 0});
    }
    if (values[1] && values[2]) {
        steps.push_back({ConfigCall::BytePair, *values[1], *values[2]});
    } else if (values[1]) {
        steps.push_back({ConfigCall::Value, *values[1], 2});
    } else if (values[2]) {
        steps.push_back({ConfigCall::Value, *values[2], 3});
    }
    if (values[3]) {
        steps.push_back({ConfigCall::Word, *values[3], 0});
    }
    return steps;
}

}  // namespace vexa::tool
