#pragma once
#include <stdexcept>
#include <string>

namespace vexa::sim {

enum class Framing { U2f, ReportId };

// What a simulated token looks like on the bus. Vendor and product id are the
// same for every token; the rest is chosen per token.
struct TokenDescription {
    std::string serial;
    std::string product = "Vexa";
    Framing framing = Framing::U2f;
    // Only differs from "corvelWorks" to test hosts that filter on it.
    std::string manufacturer = "corvelWorks";
};

// Bad command-line or control-line input; what() is meant for the user.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

inline constexpr const char* kDefaultSerial = "0123456789AB";

// Parses "SERIAL[,product=Vexa|Varkon][,framing=u2f|reportid][,manufacturer=TEXT]".
TokenDescription parseTokenDescription(const std::string& text);
const char* framingName(Framing framing);

}  // namespace vexa::sim
