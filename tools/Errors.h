#pragma once
// What ends a vexa-tool command early, by exit status: a bad command line (2)
// and a failed operation (1).
#include <stdexcept>
#include <string>

namespace vexa::tool {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

// The command line asks for something the tool cannot do; `command` is the
// command whose --help explains it ("" for the tool itself).
class UsageError : public std::runtime_error {
public:
    UsageError(const std::string& message, std::string command = {})
        : std::runtime_error(message), m_command(std::move(command))
    {}
    const std::string& command() const { return m_command; }

private:
    std::string m_command;
};

// The operation failed: a file, the library or the token.
class Failure : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The library or the token answered a call with a result code other than CKR_OK.
class TokenError : public Failure {
public:
    TokenError(const std::string& call, unsigned long rv);
    unsigned long rv() const { return m_rv; }

private:
    unsigned long m_rv;
};

}  // namespace vexa::tool
