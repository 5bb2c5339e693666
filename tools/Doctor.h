#pragma once
// vexa-tool doctor: why the library reaches a token from here, or why not,
// found with the library's own configuration reader and transports.
#include <cstddef>
#include <ostream>
#include <string>
#include <vector>

#include "Configuration.h"
#include "ILogTarget.h"

namespace vexa::tool::doctor {

// The findings, each printed as it is made: "OK    subject: text".
class CFindings {
public:
    explicit CFindings(std::ostream& out) : m_out(out) {}

    void ok(const std::string& subject, const std::string& text) { add("OK", subject, text); }
    // Works, but not as the user may think, or not for every program.
    void warn(const std::string& subject, const std::string& text) { add("WARN", subject, text); }
    // Stands between the library and a token.
    void fail(const std::string& subject, const std::string& text)
    {
        ++m_failures;
        add("FAIL", subject, text);
    }
    size_t failures() const { return m_failures; }

private:
    void add(const char* verdict, const std::string& subject, const std::string& text);

    std::ostream& m_out;
    size_t m_failures = 0;
};

// The lines that the library's transports log, kept to explain a failure.
class CCollectedLog : public corvel::ILogTarget {
public:
    void logText(int32_t level, const std::string& text) override
    {
        if (level >= corvel::kLogWarn) {
            m_lines.push_back(text);
        }
    }
    // The warnings and errors, joined by "; ".
    std::string text() const;

private:
    std::vector<std::string> m_lines;
};

// Which vexaconfig.json the library reads from the working directory, what is
// wrong in it, and what it resolves to.
pkcs11::LibraryConfiguration checkConfiguration(CFindings& findings);

// The way to the tokens that the configuration chooses. False when the
// library would wait long in vain (a TLS address that does not answer).
bool checkHid(CFindings& findings, const pkcs11::LibrarySettings& settings);
bool checkSockets(CFindings& findings, const pkcs11::LibrarySettings& settings);
bool checkTls(CFindings& findings, const pkcs11::LibrarySettings& settings);

// The tokens the library itself reaches: their number.
size_t checkTokens(CFindings& findings);

}  // namespace vexa::tool::doctor
