// The library's TLS client certificate against vexa-daemon -cca: pkcs11-tool
// through libvexa-pkcs11.so, on a simulated token.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "ToolsFixture.h"

namespace {

using namespace vexa::test;
using namespace std::chrono_literals;

const std::string kRefused = "ERROR : TLS client 127.0.0.1 refused: ";

size_t count(const std::string& text, const std::string& part)
{
    size_t found = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++found;
    }
    return found;
}

class TlsClientCertificate : public ::testing::Test {
protected:
    const ClientCertificates& certs() const { return tool.clientCertificates(); }
    bool listsTheToken(const std::vector<std::string>& environment = {})
    {
        std::vector<std::string> argv{"env"};
        argv.insert(argv.end(), environment.begin(), environment.end());
        argv.insert(argv.end(), {"pkcs11-tool", "--module", VEXA_PKCS11_MODULE, "-L"});
        return contains(tool.runThirdParty(argv).output, "token label        : Vexa");
    }
    // The daemon logs each refusal; the client may be told before the line is written.
    bool daemonRefused(size_t times)
    {
        const auto end = std::chrono::steady_clock::now() + 10s;
        while (count(tool.daemonOutput(), kRefused) < times) {
            if (std::chrono::steady_clock::now() >= end) {
                return false;
            }
            std::this_thread::sleep_for(20ms);
        }
        return true;
    }
    RunResult ok(const RunResult& result, const std::string& what)
    {
        EXPECT_EQ(result.status, 0) << what << ":\n" << result.output << "\ndaemon:\n" << tool.daemonOutput();
        return result;
    }

    ToolsDeployment tool{LibraryTransport::Tls, ClientAuthentication::Required};
};

TEST_F(TlsClientCertificate, ClientOfTheDaemonsClientCaListsTheTokenAndSigns)
{
    tool.configureTls(certs().cert, certs().key);
    EXPECT_TRUE(listsTheToken()) << tool.daemonOutput();
    ok(tool.pkcs11ToolAsUser({"--keypairgen", "--key-type", "EC:prime256v1", "--id", "02", "--label", "ec"}),
       "EC key pair");
    writeFile(tool.file("hash.bin"), std::string(32, '\x5a'));
    const std::vector<std::string> common{"-m", "ECDSA", "--id", "02", "-i", "hash.bin"};
    std::vector<std::string> sign = common;
    sign.insert(sign.end(), {"--sign", "-o", "hash.sig"});
    ok(tool.pkcs11ToolAsUser(sign), "sign");
    std::vector<std::string> verify = common;
    verify.insert(verify.end(), {"--verify", "--signature-file", "hash.sig"});
    EXPECT_TRUE(contains(ok(tool.pkcs11ToolAsUser(verify), "verify").output, "Signature is valid"));
    EXPECT_EQ(count(tool.daemonOutput(), kRefused), 0u) << tool.daemonOutput();
}

TEST_F(TlsClientCertificate, OtherClientsAreRefusedAndTheListenerServesOn)
{
    const struct {
        const char* what;
        std::string cert;
        std::string key;
    } cases[] = {
        {"no certificate", "", ""},
        {"a certificate of another CA", certs().foreignCert, certs().foreignKey},
    };
    size_t refusals = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        tool.configureTls(c.cert, c.key);
        EXPECT_FALSE(listsTheToken());
        EXPECT_TRUE(daemonRefused(++refusals)) << tool.daemonOutput();
    }
    tool.configureTls(certs().cert, certs().key);
    EXPECT_TRUE(listsTheToken()) << tool.daemonOutput();
}

// An encrypted client key opens with the password in VEXA_CLIENT_KEY_PASS.
TEST_F(TlsClientCertificate, EncryptedKeyTakesItsPasswordFromTheEnvironment)
{
    tool.configureTls(certs().cert, certs().encryptedKey);
    EXPECT_FALSE(listsTheToken());
    EXPECT_FALSE(listsTheToken({"VEXA_CLIENT_KEY_PASS=wrong"}));
    EXPECT_TRUE(listsTheToken({std::string("VEXA_CLIENT_KEY_PASS=") + ClientCertificates::kKeyPassword}))
        << tool.daemonOutput();
}

}  // namespace
