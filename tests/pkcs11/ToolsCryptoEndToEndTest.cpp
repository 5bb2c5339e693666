// Keys, signatures, encryption and digests with pkcs11-tool through
// libvexa-pkcs11.so, checked by OpenSSL, and pkcs11-tool's own tests
// compared with their run on SoftHSM2; over each of the library's transports.
#include <gtest/gtest.h>

#include <algorithm>
#include <iostream>
#include <iterator>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "ToolsFixture.h"

namespace {

using namespace vexa::test;

const std::string kIv = "000102030405060708090a0b0c0d0e0f";
const std::vector<std::string> kRsaKeyPair = {"--keypairgen", "--key-type", "rsa:2048", "--id", "01", "--label", "rsa"};
const std::vector<std::string> kEcKeyPair = {"--keypairgen", "--key-type", "EC:prime256v1", "--id", "02",
                                             "--label",      "ec"};

class ToolsCryptoEndToEnd : public ToolsFixture {
protected:
    void generateKeyPairs()
    {
        user(kRsaKeyPair, "RSA key pair");
        user(kEcKeyPair, "EC key pair");
    }

    // The public key of `id` as PEM, from the token. (pkcs11-tool 0.23
    // reads freed memory when it exports an EC public key, so it fails at
    // random; p11tool does not.)
    std::string exportPublicKey(const std::string& id)
    {
        const std::string pem = "pub" + id + ".pem";
        ok(tool.p11tool({"--export", "pkcs11:id=%" + id + ";type=public", "--outfile", pem}),
           "export public key " + id);
        return pem;
    }
};

// Each signature is checked by the token and, from the exported public key,
// by OpenSSL; a damaged one must be refused.
TEST_P(ToolsCryptoEndToEnd, GeneratesKeyPairsThenSignsAndVerifies)
{
    generateKeyPairs();
    writeFile(tool.file("data.bin"), patternText(1000, 1));
    openssl({"dgst", "-sha256", "-binary", "-out", "hash.bin", "data.bin"}, "hash");
    const std::string rsaKey = exportPublicKey("01");
    const std::string ecKey = exportPublicKey("02");

    struct Case {
        std::string mechanism;
        std::string id;
        std::string input;
        std::vector<std::string> opensslVerify;
        std::vector<std::string> toolOptions{};
    };
    const std::vector<Case> cases = {
        {"ECDSA", "02", "hash.bin", {"pkeyutl", "-verify", "-pubin", "-inkey", ecKey, "-in", "hash.bin", "-sigfile"}},
        {"SHA256-RSA-PKCS", "01", "data.bin", {"dgst", "-sha256", "-verify", rsaKey, "-signature"}},
        {"SHA256-RSA-PKCS-PSS",
         "01",
         "data.bin",
         {"dgst", "-sha256", "-verify", rsaKey, "-sigopt", "rsa_padding_mode:pss", "-sigopt", "rsa_pss_saltlen:-1",
          "-signature"}},
        // The token hashes for ECDSA-SHA256; raw PSS signs the caller's hash.
        {"ECDSA-SHA256", "02", "data.bin", {"dgst", "-sha256", "-verify", ecKey, "-signature"}},
        {"RSA-PKCS-PSS",
         "01",
         "hash.bin",
         {"pkeyutl", "-verify", "-pubin", "-inkey", rsaKey, "-in", "hash.bin", "-pkeyopt", "rsa_padding_mode:pss",
          "-pkeyopt", "digest:sha256", "-pkeyopt", "rsa_pss_saltlen:-1", "-sigfile"},
         {"--hash-algorithm", "SHA256", "--mgf", "MGF1-SHA256"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mechanism);
        const std::string signature = c.mechanism + ".sig";
        std::vector<std::string> common{"-m", c.mechanism, "--id", c.id, "-f", "openssl", "-i", c.input};
        common.insert(common.end(), c.toolOptions.begin(), c.toolOptions.end());
        std::vector<std::string> sign = common;
        sign.insert(sign.end(), {"--sign", "-o", signature});
        user(sign, "sign");
        std::vector<std::string> verify = common;
        verify.insert(verify.end(), {"--verify", "--signature-file", signature});
        EXPECT_TRUE(contains(user(verify, "verify").output, "Signature is valid"));

        std::vector<std::string> byOpenssl = c.opensslVerify;
        byOpenssl.push_back(signature);
        if (c.input == "data.bin") {
            byOpenssl.push_back("data.bin");
        }
        const std::string verdict = openssl(byOpenssl, "OpenSSL verifies").output;
        EXPECT_TRUE(contains(verdict, "Verified OK") || contains(verdict, "Signature Verified Successfully"))
            << verdict;

        std::string damaged = readFile(tool.file(signature));
        damaged[damaged.size() / 2] ^= 0x01;
        writeFile(tool.file("damaged.sig"), damaged);
        verify.back() = "damaged.sig";
        EXPECT_FALSE(contains(tool.pkcs11ToolAsUser(verify).output, "Signature is valid"));
    }
}

TEST_P(ToolsCryptoEndToEnd, EncryptsAndDecrypts)
{
    user(kRsaKeyPair, "RSA key pair");
    const std::string rsaKey = exportPublicKey("01");
    const std::string message = patternText(100, 2);
    writeFile(tool.file("message.bin"), message);
    // SoftHSM2, behind the token, does OAEP with SHA-1 only.
    openssl({"pkeyutl", "-encrypt", "-pubin", "-inkey", rsaKey, "-pkeyopt", "rsa_padding_mode:oaep", "-pkeyopt",
             "rsa_oaep_md:sha1", "-pkeyopt", "rsa_mgf1_md:sha1", "-in", "message.bin", "-out", "message.oaep"},
            "OpenSSL encrypts");
    user({"--decrypt", "-m", "RSA-PKCS-OAEP", "--hash-algorithm", "SHA-1", "--mgf", "MGF1-SHA1", "--id", "01", "-i",
          "message.oaep", "-o", "message.out"},
         "RSA OAEP decrypt");
    EXPECT_EQ(readFile(tool.file("message.out")), message);

    user({"--keygen", "--key-type", "AES:32", "--id", "03", "--label", "aes"}, "AES key");
    const std::string plain = patternText(1024, 3);
    writeFile(tool.file("plain.bin"), plain);
    user({"--encrypt", "-m", "AES-CBC", "--iv", kIv, "--id", "03", "-i", "plain.bin", "-o", "cipher.bin"},
         "AES CBC encrypt");
    const std::string cipher = readFile(tool.file("cipher.bin"));
    EXPECT_EQ(cipher.size(), plain.size());
    EXPECT_NE(cipher, plain);
    user({"--decrypt", "-m", "AES-CBC", "--iv", kIv, "--id", "03", "-i", "cipher.bin", "-o", "plain.out"},
         "AES CBC decrypt");
    EXPECT_EQ(readFile(tool.file("plain.out")), plain);
}

TEST_P(ToolsCryptoEndToEnd, Digests)
{
    writeFile(tool.file("data.bin"), patternText(5000, 4));
    ok(tool.pkcs11Tool({"--hash", "-m", "SHA256", "-i", "data.bin", "-o", "digest.bin"}), "digest");
    openssl({"dgst", "-sha256", "-binary", "-out", "expected.bin", "data.bin"}, "OpenSSL digest");
    EXPECT_EQ(readFile(tool.file("digest.bin")), readFile(tool.file("expected.bin")));
}

// The lines in which pkcs11-tool --test reports a check that passed.
std::vector<std::string> passedChecks(const std::string& output)
{
    static const std::regex passed(R"((: OK$)|(seems to be OK)|(seem to work))");
    std::vector<std::string> checks;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        if (std::regex_search(line, passed)) {
            checks.push_back(line);
        }
    }
    std::sort(checks.begin(), checks.end());
    return checks;
}

// pkcs11-tool's own tests, on the same keys, must pass through our library
// wherever they pass on SoftHSM2 itself.
TEST_P(ToolsCryptoEndToEnd, PassesTheToolsOwnTestsLikeSoftHsm)
{
    vexa::test::SoftHsmReference reference;
    for (const auto& keyPair : {kRsaKeyPair, kEcKeyPair}) {
        ok(reference.pkcs11ToolAsUser(keyPair), "key pair on SoftHSM2");
    }
    generateKeyPairs();
    const RunResult expected = reference.pkcs11ToolAsUser({"--test"});
    const RunResult ours = tool.pkcs11ToolAsUser({"--test"});
    const std::vector<std::string> expectedChecks = passedChecks(expected.output);
    const std::vector<std::string> ourChecks = passedChecks(ours.output);
    ASSERT_FALSE(expectedChecks.empty()) << expected.output;
    std::vector<std::string> missing;
    std::set_difference(expectedChecks.begin(), expectedChecks.end(), ourChecks.begin(), ourChecks.end(),
                        std::back_inserter(missing));
    EXPECT_TRUE(missing.empty()) << "passed on SoftHSM2 only:\n"
                                 << ::testing::PrintToString(missing) << "\nSoftHSM2:\n"
                                 << expected.output << "\nours:\n"
                                 << ours.output;
    std::cout << "SoftHSM2 --test:\n" << expected.output << "\nthrough our library:\n" << ours.output << std::endl;
}

VEXA_INSTANTIATE_FOR_EVERY_TRANSPORT(ToolsCryptoEndToEnd);

}  // namespace
