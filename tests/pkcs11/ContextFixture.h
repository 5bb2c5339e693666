#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "CContext.h"
#include "FakeTransport.h"
#include "TempDir.h"

namespace vexa::test {

// A context configured from its own empty directory, logging everything to a
// file the test reads back, with fake tokens in place of real transports.
class ContextFixture : public ::testing::Test {
protected:
    ContextFixture() : context(std::make_unique<vexa::pkcs11::CContext>(dir.path() + "/"))
    {
        context->log().setLogLevel(corvel::kLogTrace);
        context->log().openLogFile(dir.file("library.log"));
    }

    // Fakes tokens; C_Initialize turns them into slots 0, 1, ...
    std::vector<std::shared_ptr<FakeToken>> useTokens(size_t count)
    {
        std::vector<std::shared_ptr<FakeToken>> tokens;
        for (size_t i = 0; i < count; ++i) {
            tokens.push_back(std::make_shared<FakeToken>());
        }
        context->setTransportKind(fakeTransportKind(tokens));
        return tokens;
    }

    // The text of each log line after " : ".
    std::vector<std::string> logMessages() const
    {
        std::vector<std::string> messages;
        std::ifstream file(dir.file("library.log"));
        for (std::string line; std::getline(file, line);) {
            const auto separator = line.find(" : ");
            messages.push_back(separator == std::string::npos ? line : line.substr(separator + 3));
        }
        return messages;
    }

    bool logged(const std::string& message) const
    {
        const auto messages = logMessages();
        return std::find(messages.begin(), messages.end(), message) != messages.end();
    }

    TempDir dir;
    std::unique_ptr<vexa::pkcs11::CContext> context;
};

}  // namespace vexa::test
