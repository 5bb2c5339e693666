#pragma once
// The fixture of the end-to-end tests with standard tools: one deployment
// (token, daemon, library configuration) per test, for the transport that
// the test is instantiated with, and helpers that run the tools in it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ToolsEndToEnd.h"

namespace vexa::test {

inline bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Bytes that are neither text nor repeating.
inline std::string patternText(size_t length, int seed)
{
    std::string text(length, '\0');
    for (size_t i = 0; i < length; ++i) {
        text[i] = static_cast<char>((i * 31 + seed) ^ (i >> 8));
    }
    return text;
}

class ToolsFixture : public ::testing::TestWithParam<LibraryTransport> {
protected:
    ToolsFixture() : tool(GetParam()) {}

    // Runs and expects success, showing everything that may explain a failure.
    RunResult ok(const RunResult& result, const std::string& what)
    {
        EXPECT_EQ(result.status, 0) << what << ":\n" << result.output << "\ndaemon:\n" << tool.daemonOutput();
        return result;
    }
    RunResult user(const std::vector<std::string>& args, const std::string& what)
    {
        return ok(tool.pkcs11ToolAsUser(args), what);
    }
    RunResult openssl(const std::vector<std::string>& args, const std::string& what)
    {
        std::vector<std::string> argv{"openssl"};
        argv.insert(argv.end(), args.begin(), args.end());
        return ok(vexa::test::runIn(tool.file(""), argv), what);
    }

    ToolsDeployment tool;
};

}  // namespace vexa::test

// Names the instances after the transport: .../Hid, .../Unix, .../Tls.
#define VEXA_INSTANTIATE_FOR_EVERY_TRANSPORT(suite)                                                  \
    INSTANTIATE_TEST_SUITE_P(                                                                        \
        Transports, suite,                                                                           \
        ::testing::Values(::vexa::test::LibraryTransport::Hid, ::vexa::test::LibraryTransport::Unix, \
                          ::vexa::test::LibraryTransport::Tls),                                      \
        [](const ::testing::TestParamInfo<::vexa::test::LibraryTransport>& info) {                   \
            return ::vexa::test::transportName(info.param);                                          \
        })
