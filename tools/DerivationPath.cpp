#include "DerivationPath.h"

#include <sstream>

namespace vexa::tool {
namespace {

std::optional<uint32_t> parseStep(std::string step)
{
    bool hardened = false;
    if (!step.empty() && (step.back() == '\'' || step.back() == 'h' || step.back() == 'H')) {
        hardened = true;
        step.pop_back();
    }
    if (step.empty() || step.size() > 10) {
        return std::nullopt;
    }
    uint64_t index = 0;
    for (char c : step) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        index = index * 10 + uint64_t(c - '0');
    }
    if (index >= kHardenedStep) {
        return std::nullopt;
    }
    return static_cast<uint32_t>(index) | (hardened ? kHardenedStep : 0u);
}

}  // namespace

std::optional<std::vector<uint32_t>> parseDerivationPath(const std::string& text)
{
    if (text == "m") {
        return std::vector<uint32_t>{};
    }
    if (text.rfind("m/", 0) != 0) {
        return std::nullopt;
    }
    std::vector<uint32_t> path;
    std::istringstream steps(text.substr(2));
    std::string step;
    while (std::getline(steps, step, '/')) {
        const auto index = parseStep(step);
        if (!index) {
            return std::nullopt;
        }
        path.push_back(*index);
    }
    // "m/" and "m/1/" leave an empty step that getline does not report.
    if (text.back() == '/') {
        return std::nullopt;
    }
    return path;
}

}  // namespace vexa::tool
