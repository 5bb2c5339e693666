#include "TokenDescription.h"

#include <algorithm>
#include <cctype>

namespace vexa::sim {
namespace {

// USB string descriptors hold at most 126 characters; the strings also go
// into sysfs records line by line, so only plain printable text is allowed.
constexpr size_t kMaxStringLength = 126;

bool isSerialChar(char c)
{
    return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.' || c == ':';
}

bool isTextChar(char c) { return std::isprint(static_cast<unsigned char>(c)) && c != ','; }

void checkSerial(const std::string& serial)
{
    if (serial.empty()) {
        throw UsageError("a token needs a serial number");
    }
    if (serial.size() > kMaxStringLength || !std::all_of(serial.begin(), serial.end(), isSerialChar)) {
        throw UsageError("bad serial number '" + serial + "': use 1 to 126 letters, digits or - _ . :");
    }
}

Framing parseFraming(const std::string& value)
{
    if (value == "u2f") {
        return Framing::U2f;
    }
    if (value == "reportid") {
        return Framing::ReportId;
    }
    throw UsageError("bad framing '" + value + "': use u2f or reportid");
}

void applyOption(TokenDescription& description, const std::string& option)
{
    const size_t eq = option.find('=');
    const std::string key = option.substr(0, eq);
    const std::string value = eq == std::string::npos ? std::string() : option.substr(eq + 1);
    if (eq == std::string::npos) {
        throw UsageError("bad token option '" + option + "': expected KEY=VALUE");
    }
    if (key == "product") {
        if (value != "Vexa" && value != "Varkon") {
            throw UsageError("bad product '" + value + "': use Vexa or Varkon");
        }
        description.product = value;
    } else if (key == "framing") {
        description.framing = parseFraming(value);
    } else if (key == "manufacturer") {
        if (value.empty() || value.size() > kMaxStringLength || !std::all_of(value.begin(), value.end(), isTextChar)) {
            throw UsageError("bad manufacturer '" + value + "'");
        }
        description.manufacturer = value;
    } else {
        throw UsageError("unknown token option '" + key + "': use product, framing or manufacturer");
    }
}

}  // namespace

TokenDescription parseTokenDescription(const std::string& text)
{
    TokenDescription description;
    size_t start = 0;
    size_t comma = text.find(',');
    description.serial = text.substr(0, comma);
    checkSerial(description.serial);
    while (comma != std::string::npos) {
        start = comma + 1;
        comma = text.find(',', start);
        applyOption(description, text.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
    }
    return description;
}

const char* framingName(Framing framing) { return framing == Framing::U2f ? "u2f" : "reportid"; }

}  // namespace vexa::sim
