#pragma once
// Where the user PIN comes from, first found wins: the --pin option, the
// environment variable VEXA_PIN, or a prompt on the terminal without echo.
#include <optional>
#include <string>

namespace vexa::tool {

inline constexpr const char* kPinVariable = "VEXA_PIN";

// Throws UsageError (naming `command`) when there is no PIN and no terminal
// to ask on, and Failure when the prompt is abandoned.
std::string obtainPin(const std::optional<std::string>& option, const std::string& prompt, const std::string& command);

}  // namespace vexa::tool
