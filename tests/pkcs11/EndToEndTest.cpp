// The library core in processes of its own (vexa_pkcs11_probe) against
// simulated tokens: directly over HID, through vexa-daemon's Unix sockets and
// TLS listener, and two processes sharing a lock file.
#include <gtest/gtest.h>

#include <ctime>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "FakeDaemon.h"
#include "HexText.h"
#include "Process.h"
#include "RealDaemon.h"
#include "TempDir.h"
#include "TestCertificates.h"
#include "TokenSimulator.h"
#include "wire/Codec.h"

namespace {

using vexa::test::RunResult;
using vexa::test::TempDir;

const std::string kSerialA = "00000000000A";
const std::string kSerialB = "00000000000B";

struct Received {
    uint32_t function;
    bool hasHandle;
    uint32_t handle;
};

// Requests each token received, from the simulator's trace.
std::map<std::string, std::vector<Received>> requestsByToken(const std::string& traceFile)
{
    std::map<std::string, std::vector<Received>> result;
    std::ifstream trace(traceFile);
    for (std::string line; std::getline(trace, line);) {
        std::istringstream fields(line);
        std::string serial, direction, length, hex;
        fields >> serial >> direction >> length >> hex;
        if (direction != "in") {
            continue;
        }
        const std::vector<uint8_t> bytes = hex == "-" ? std::vector<uint8_t>() : vexa::test::fromHex(hex);
        vexa::wire::Request request;
        EXPECT_TRUE(vexa::wire::decodeRequest(bytes, request)) << line;
        result[serial].push_back({request.function, request.handle.has_value(), request.handle.value_or(0)});
    }
    return result;
}

// Each token got the clock (46, carrying the current time), and nothing
// from C_Finalize: the process opened no session, and the token's other
// sessions are not its to close.
void expectOnlyTheClock(const std::vector<Received>& requests, uint32_t notBefore)
{
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].function, vexa::fn::SetDateTime);
    EXPECT_TRUE(requests[0].hasHandle);
    EXPECT_GE(requests[0].handle, notBefore);
    EXPECT_LE(requests[0].handle, static_cast<uint32_t>(std::time(nullptr)));
}

RunResult probe(const std::string& dir, const std::vector<std::string>& args)
{
    std::vector<std::string> argv{VEXA_PKCS11_PROBE, dir};
    argv.insert(argv.end(), args.begin(), args.end());
    return vexa::test::runProgram(argv);
}

TEST(LibraryEndToEnd, WithoutConfigurationEveryHidTokenBecomesASlot)
{
    TempDir dir;
    const auto start = static_cast<uint32_t>(std::time(nullptr));
    const RunResult result =
        vexa::test::runUnderSimulator({"--token", kSerialB, "--token", kSerialA + ",framing=reportid", "--firmware",
                                       "echo", "--trace", dir.file("trace")},
                                      {VEXA_PKCS11_PROBE, dir.path(), "slots"});
    ASSERT_EQ(result.status, 0) << result.output;
    EXPECT_NE(result.output.find("slot 0 HID 12000\nslot 1 HID 12000\n"), std::string::npos) << result.output;
    EXPECT_EQ(result.output.find("slot 2"), std::string::npos) << result.output;

    const auto requests = requestsByToken(dir.file("trace"));
    ASSERT_EQ(requests.size(), 2u);
    for (const std::string& serial : {kSerialA, kSerialB}) {
        SCOPED_TRACE(serial);
        expectOnlyTheClock(requests.at(serial), start);
    }
}

TEST(LibraryEndToEnd, UnixTransportMakesTheDaemonsSocketsTheSlots)
{
    TempDir dir;
    TempDir sockets;
    const auto daemon = vexa::test::RealDaemon::unix(
        {"--token", kSerialA, "--token", kSerialB, "--firmware", "echo", "--trace", dir.file("trace")}, sockets.path(),
        2);
    std::ofstream(dir.file("vexaconfig.json"))
        << R"({"transport": {"unix": true, "sockdir": ")" << sockets.path() << R"("}})";
    const auto start = static_cast<uint32_t>(std::time(nullptr));
    const RunResult result = probe(dir.path(), {"slots"});
    ASSERT_EQ(result.status, 0) << result.output << daemon->output();
    EXPECT_NE(result.output.find("slot 0 UNIX 12000\n"), std::string::npos) << result.output;
    EXPECT_NE(result.output.find("slot 1 UNIX 12000\n"), std::string::npos) << result.output;

    const auto requests = requestsByToken(dir.file("trace"));
    ASSERT_EQ(requests.size(), 2u);
    for (const std::string& serial : {kSerialA, kSerialB}) {
        SCOPED_TRACE(serial);
        expectOnlyTheClock(requests.at(serial), start);
    }
}

TEST(LibraryEndToEnd, AddressPortAndBundleMakeTheTlsTransportSlotZero)
{
    TempDir dir;
    const auto certs = vexa::test::makeTestCertificates(dir.path());
    const auto daemon =
        vexa::test::RealDaemon::tls({"--token", kSerialA, "--firmware", "echo", "--trace", dir.file("trace")},
                                    certs.serverCert, certs.serverKey, certs.caCert);
    std::ofstream(dir.file("vexaconfig.json")) << R"({"transport": {"address": "localhost", "port": )" << daemon->port()
                                               << R"(, "cacertbundle": ")" << certs.caCert << R"("}})";
    const auto start = static_cast<uint32_t>(std::time(nullptr));
    const RunResult result = probe(dir.path(), {"slots"});
    ASSERT_EQ(result.status, 0) << result.output << daemon->output();
    EXPECT_EQ(result.output, "slot 0 TCP 12000\n");

    const auto requests = requestsByToken(dir.file("trace"));
    ASSERT_EQ(requests.count(kSerialA), 1u) << daemon->output();
    expectOnlyTheClock(requests.at(kSerialA), start);
}

// The fake daemon keeps each request 20 ms and counts requests of the other
// process that arrive meanwhile: with the lock file there must be none.
TEST(LibraryEndToEnd, ProcessesSharingALockFileNeverInterleave)
{
    TempDir dir;
    vexa::test::FakeUnixDaemon daemon(dir.file("vexa.0123456789AB.sock"), [](const std::vector<uint8_t>&) {
        return vexa::test::FakeReply::send({0x08, 0x00});
    });
    daemon.setHoldMs(20);
    std::ofstream(dir.file("vexaconfig.json")) << R"({"transport": {"unix": true, "sockdir": ")" << dir.path()
                                               << R"("}, "lockfile": ")" << dir.file("exchange.lock") << R"("})";
    constexpr int kExchanges = 10;
    RunResult results[2];
    std::thread first([&] { results[0] = probe(dir.path(), {"settime", std::to_string(kExchanges)}); });
    std::thread second([&] { results[1] = probe(dir.path(), {"settime", std::to_string(kExchanges)}); });
    first.join();
    second.join();

    for (const RunResult& result : results) {
        EXPECT_EQ(result.status, 0) << result.output;
    }
    // Per process: the clock at C_Initialize and the loop.
    EXPECT_EQ(daemon.log().packets().size(), 2u * (kExchanges + 1));
    EXPECT_EQ(daemon.acceptedConnections(), 2);
    EXPECT_EQ(daemon.overlaps(), 0);
}

}  // namespace
