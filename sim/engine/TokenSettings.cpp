#include "TokenSettings.h"

#include <nlohmann/json.hpp>

#include "FileStore.h"

namespace vexa::sim::engine {
namespace {

template <typename T>
void readInteger(const nlohmann::json& j, const char* key, T& target)
{
    auto it = j.find(key);
    if (it == j.end() || !it->is_number_integer()) {
        return;
    }
    auto v = it->get<int64_t>();
    if (v >= static_cast<int64_t>(std::numeric_limits<T>::min()) &&
        v <= static_cast<int64_t>(std::numeric_limits<T>::max())) {
        target = static_cast<T>(v);
    }
}

}  // namespace

TokenSettings loadSettings(const std::string& path)
{
    TokenSettings s;
    auto content = readFile(path);
    if (!content) {
        return s;
    }
    auto j = nlohmann::json::parse(content->begin(), content->end(), nullptr, false);
    if (!j.is_object()) {
        return s;
    }
    if (auto it = j.find("hsmSerial"); it != j.end() && it->is_string()) {
        s.hsmSerial = it->get<std::string>();
    }
    readInteger(j, "config1", s.config.config1);
    readInteger(j, "config2", s.config.config2);
    readInteger(j, "config3", s.config.config3);
    readInteger(j, "config4", s.config.config4);
    readInteger(j, "clockOffset", s.clockOffset);
    return s;
}

bool saveSettings(const std::string& path, const TokenSettings& s)
{
    nlohmann::json j = {
        {"hsmSerial", s.hsmSerial},    {"config1", s.config.config1}, {"config2", s.config.config2},
        {"config3", s.config.config3}, {"config4", s.config.config4}, {"clockOffset", s.clockOffset},
    };
    std::string text = j.dump(2) + "\n";
    return writeFileAtomic(path, Bytes(text.begin(), text.end()));
}

}  // namespace vexa::sim::engine
