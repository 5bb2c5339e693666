// The library over TLS against a daemon that refuses the connection, does
// not take it (its backlog full) or takes it and says nothing: the calls that
// reach for the token end within the configured time-out and answer alike.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "Process.h"
#include "RefusingPort.h"
#include "StalledListener.h"
#include "TempDir.h"
#include "TestCertificates.h"
#include "ToolsEndToEnd.h"

namespace vexa::test {
namespace {

constexpr long kTimeoutMs = 2000;

struct Outcome {
    std::map<std::string, std::string> results;  // function name to its CK_RV as printed
    std::vector<long> durations;                 // of each call, in the order of the steps
    std::string transcript;
};

// Runs C_Initialize and C_GetTokenInfo against port, timing each.
Outcome callsAgainst(const TempDir& work, int port, const std::string& caFile)
{
    writeFile(work.file("vexaconfig.json"), R"({"transport": {"address": "127.0.0.1", "port": )" +
                                                std::to_string(port) + R"(, "cacertbundle": ")" + caFile +
                                                R"("}, "timeout": )" + std::to_string(kTimeoutMs) + "}");
    const RunResult run =
        runProgram({VEXA_PKCS11_WORKER, VEXA_PKCS11_MODULE, work.path(), "time", "init", "time", "tokeninfo", "time"},
                   {{"LD_PRELOAD", ""}});
    Outcome outcome;
    outcome.transcript = run.output;
    std::istringstream lines(run.output);
    long last = -1;
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string word, name, rv;
        fields >> word;
        long now = 0;
        if (word == "time" && fields >> now) {
            if (last >= 0) {
                outcome.durations.push_back(now - last);
            }
            last = now;
        } else if (word == "call" && fields >> name >> rv) {
            outcome.results[name] = rv;
        }
    }
    return outcome;
}

TEST(TlsUnreachable, CallsEndWithinTheTimeoutAndAnswerAsForARefusedConnection)
{
    TempDir work;
    const TestCertificates certs = makeTestCertificates(work.path());
    RefusingPort refusing;
    const Outcome refused = callsAgainst(work, refusing.port(), certs.caCert);
    ASSERT_EQ(refused.results.size(), 2u) << refused.transcript;

    for (const bool backlogFull : {true, false}) {
        SCOPED_TRACE(backlogFull ? "backlog full" : "never answers");
        StalledListener listener(backlogFull);
        const Outcome stalled = callsAgainst(work, listener.port(), certs.caCert);
        EXPECT_EQ(stalled.results, refused.results) << stalled.transcript;
        ASSERT_EQ(stalled.durations.size(), 2u) << stalled.transcript;
        for (const long ms : stalled.durations) {
            EXPECT_LE(ms, kTimeoutMs + 1000) << stalled.transcript;
        }
    }
}

}  // namespace
}  // namespace vexa::test
