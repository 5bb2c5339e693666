// Standard PKCS#11 tools and the library's own calls through
// libvexa-pkcs11.so, on a simulated token with the working firmware, over
// each of the library's transports: HID directly, the daemon's Unix socket,
// and the daemon's TLS listener.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "HexText.h"
#include "ToolsFixture.h"

namespace {

using namespace vexa::test;

class ToolsEndToEnd : public ToolsFixture {};

TEST_P(ToolsEndToEnd, ListsTheTokenAndLogsIn)
{
    const RunResult slots = ok(tool.pkcs11Tool({"-L"}), "list slots");
    EXPECT_TRUE(contains(slots.output, "token label        : Vexa")) << slots.output;
    ok(tool.pkcs11ToolAsUser({"-O"}), "log in and list objects");

    const RunResult wrongPin = tool.pkcs11Tool({"--login", "--pin", "654321", "-O"});
    EXPECT_NE(wrongPin.status, 0);
    EXPECT_TRUE(contains(wrongPin.output, "CKR_PIN_INCORRECT")) << wrongPin.output;
}

// More than one chunk of random data per call.
TEST_P(ToolsEndToEnd, GeneratesRandomData)
{
    ok(tool.pkcs11Tool({"--generate-random", "3000", "-o", "random1.bin"}), "random");
    ok(tool.pkcs11Tool({"--generate-random", "3000", "-o", "random2.bin"}), "random again");
    const std::string first = readFile(tool.file("random1.bin"));
    EXPECT_EQ(first.size(), 3000u);
    EXPECT_NE(first, readFile(tool.file("random2.bin")));
}

TEST_P(ToolsEndToEnd, CreatesListsReadsAndDeletesADataObject)
{
    const std::string content = "configuration blob\n" + patternText(300, 5);
    writeFile(tool.file("object.bin"), content);
    user({"--write-object", "object.bin", "--type", "data", "--label", "blob", "--application-label", "vexa-test"},
         "create data object");
    const RunResult listed = user({"--list-objects", "--type", "data"}, "list data objects");
    EXPECT_TRUE(contains(listed.output, "label:          'blob'")) << listed.output;
    EXPECT_TRUE(contains(listed.output, "application:    'vexa-test'")) << listed.output;

    user({"--read-object", "--type", "data", "--label", "blob", "-o", "object.out"}, "read data object");
    EXPECT_EQ(readFile(tool.file("object.out")), content);

    user({"--delete-object", "--type", "data", "--label", "blob"}, "delete data object");
    const RunResult after = user({"--list-objects", "--type", "data"}, "list after delete");
    EXPECT_FALSE(contains(after.output, "'blob'")) << after.output;
}

// BIP32 test vector 1: the public keys of m and m/0H for seed 000102...0f.
const char* const kExpectedTranscript =
    "getconfig 0x0 0 0 0 0\n"
    "setbyte 0x0\n"
    "setbytepair 0x0\n"
    "setconfigword 0x0\n"
    "getconfig 0x0 17 34 51 48879\n"
    "setvalue 0x0\n"
    "getconfig 0x0 68 34 51 48879\n"
    "command 0x0\n"
    "getconfig 0x0 0 0 0 0\n"
    "writedata 0x0\n"
    "readdata 0x0 5000 same\n"
    "loglength false some\n"
    "readlog true has-write\n"
    "hasbitcoinkey 0x80000001\n"
    "importbitcoinkey 0x0\n"
    "importbitcoinkey 0x80000002\n"
    "hasbitcoinkey 0x0 handle\n"
    "bitcoinpub m 0x0 0339a36013301597daef41fbe593a02cc513d0b55527ec2df1050e2e8ff49c85c2\n"
    "bitcoinpub m/0H 0x0 035a784662a4a20a65bf6aab9ae98a6c068a81c52e4b032c0fb5400c706cfccc56\n"
    "signbitcoinhash 0x0 0x0\n";

// SubjectPublicKeyInfo of a compressed secp256k1 point, for OpenSSL.
std::string secp256k1PublicKeyDer(const std::string& point)
{
    const std::vector<uint8_t> prefix = vexa::test::fromHex("3036301006072a8648ce3d020106052b8104000a032200");
    return std::string(prefix.begin(), prefix.end()) + point;
}

TEST_P(ToolsEndToEnd, ExtensionCallsReachTheToken)
{
    const RunResult probe = ok(tool.runOurs({VEXA_EXTENSIONS_PROBE}), "extension calls");
    EXPECT_EQ(probe.output, kExpectedTranscript);

    const std::string point = readFile(tool.file("bitcoin-pub.bin"));
    ASSERT_EQ(point.size(), 33u);
    writeFile(tool.file("bitcoin-pub.der"), secp256k1PublicKeyDer(point));
    const RunResult verified = openssl({"pkeyutl", "-verify", "-pubin", "-keyform", "DER", "-inkey", "bitcoin-pub.der",
                                        "-in", "bitcoin-hash.bin", "-sigfile", "bitcoin-sig.der"},
                                       "OpenSSL verifies the Bitcoin signature");
    EXPECT_TRUE(contains(verified.output, "Signature Verified Successfully")) << verified.output;
}

VEXA_INSTANTIATE_FOR_EVERY_TRANSPORT(ToolsEndToEnd);

}  // namespace
