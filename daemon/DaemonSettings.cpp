#include "DaemonSettings.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <limits>

namespace vexa::daemon {
namespace {

// unsetMarker: a file value that counts as not set, if any.
void MergeString(const nlohmann::json& file, const char* key, const Words& words, const char* option,
                 std::string& value, const char* unsetMarker = nullptr)
{
    const auto entry = file.find(key);
    if (entry != file.end() && entry->is_string()) {
        const auto& text = entry->get_ref<const std::string&>();
        if (unsetMarker == nullptr || text != unsetMarker) {
            value = text;
        }
    }
    if (auto given = findOption(words, option)) {
        value = *given;
    }
}

// The file's number written in decimal, a fraction cut toward zero.
std::string NumberText(const nlohmann::json& number)
{
    if (number.is_number_unsigned()) {
        return std::to_string(number.get<uint64_t>());
    }
    if (number.is_number_integer()) {
        return std::to_string(number.get<int64_t>());
    }
    return std::to_string(std::trunc(number.get<double>()));
}

bool MergeLogThreshold(const nlohmann::json& file, const Words& words, int32_t& threshold, std::string& error)
{
    std::string text = std::to_string(threshold);
    const auto entry = file.find("loglevel");
    if (entry != file.end() && entry->is_number()) {
        text = NumberText(*entry);
    }
    if (auto given = findOption(words, "-v")) {
        text = *given;
    }
    if (parseLogThreshold(text, threshold)) {
        return true;
    }
    error = "Invalid log level \"" + text + "\": expected a decimal number within the 32-bit range.";
    return false;
}

struct PositiveSetting {
    const char* key;
    const char* option;
    uint32_t largest;
    const char* what;  // for the error: "Invalid <what> ..."
    const char* unit;  // "... expected <unit> from 1 to <largest>."
};

constexpr PositiveSetting kTokenTimeout{"tokentimeout", "-to", std::numeric_limits<uint32_t>::max(), "token time-out",
                                        "milliseconds"};
constexpr PositiveSetting kMaxClients{"maxclients", "-mc", kLargestMaxClients, "number of clients per token",
                                      "a number of clients"};

// A positive number from the file or the option, which wins; the value stays
// when neither gives one.
bool MergePositive(const nlohmann::json& file, const Words& words, const PositiveSetting& setting, uint32_t& value,
                   std::string& error)
{
    std::string text;
    const auto entry = file.find(setting.key);
    if (entry != file.end() && entry->is_number()) {
        text = NumberText(*entry);
    }
    if (auto given = findOption(words, setting.option)) {
        text = *given;
    }
    if (text.empty() || parsePositive(text, setting.largest, value)) {
        return true;
    }
    error = std::string("Invalid ") + setting.what + " \"" + text + "\": expected " + setting.unit + " from 1 to " +
            std::to_string(setting.largest) + ".";
    return false;
}

}  // namespace

bool parseTokenTimeout(const std::string& text, uint32_t& milliseconds)
{
    return parsePositive(text, std::numeric_limits<uint32_t>::max(), milliseconds);
}

bool parsePositive(const std::string& text, uint32_t largest, uint32_t& value)
{
    const char* start = text.c_str();
    while (*start == ' ' || *start == '\t') {
        ++start;
    }
    if (*start < '0' || *start > '9') {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    const unsigned long long number = std::strtoull(start, &end, 10);
    if (errno == ERANGE || number == 0 || number > largest) {
        return false;
    }
    value = static_cast<uint32_t>(number);
    return true;
}

bool parseLogThreshold(const std::string& text, int32_t& threshold)
{
    const char* start = text.c_str();
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(start, &end, 10);
    if (end == start || errno == ERANGE) {
        return false;
    }
    if (value < std::numeric_limits<int32_t>::min() || value > std::numeric_limits<int32_t>::max()) {
        return false;
    }
    threshold = static_cast<int32_t>(value);
    return true;
}

bool mergeSettings(const nlohmann::json& file, const Words& words, DaemonConfig& config, std::string& error)
{
    if (!file.is_object() && !file.is_null()) {
        error = "The configuration file must hold a JSON object, not " + std::string(file.type_name()) + ".";
        return false;
    }
    if (!MergeLogThreshold(file, words, config.logThreshold, error)) {
        return false;
    }
    MergeString(file, "port", words, "-p", config.port);
    // The example file ships "devicesn" as a placeholder for the serial.
    MergeString(file, "device", words, "-d", config.serial, "devicesn");
    MergeString(file, "bindaddress", words, "-i", config.bindAddress);
    MergeString(file, "transport", words, "-t", config.daemon.transport);
    MergeString(file, "sockdir", words, "-sd", config.daemon.socketDir);
    MergeString(file, "cafile", words, "-ca", config.caFile);
    MergeString(file, "certfile", words, "-crt", config.certFile);
    MergeString(file, "keyfile", words, "-key", config.keyFile);
    MergeString(file, "clientcafile", words, "-cca", config.clientCaFile);
    return MergePositive(file, words, kTokenTimeout, config.daemon.tokenTimeout, error) &&
           MergePositive(file, words, kMaxClients, config.daemon.maxClients, error);
}

}  // namespace vexa::daemon
