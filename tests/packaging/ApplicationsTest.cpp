// Applications that know nothing of vexa use a simulated token through
// libvexa-pkcs11.so and the daemon's Unix socket: p11tool (GnuTLS), ssh-keygen
// (OpenSSH) and openssl with the pkcs11 engine (libp11).
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <regex>
#include <sstream>

#include "ToolsEndToEnd.h"

namespace vexa::test {
namespace {

class Applications : public ::testing::Test {
protected:
    // Runs the command and expects it to succeed; returns its output.
    std::string ok(const RunResult& r, const std::string& what)
    {
        EXPECT_EQ(r.status, 0) << what << ":\n" << r.output << m_token.daemonOutput();
        return r.output;
    }
    void generateKeyPair(const std::string& type, const std::string& label, const std::string& id)
    {
        ok(m_token.pkcs11ToolAsUser({"--keypairgen", "--key-type", type, "--label", label, "--id", id}),
           "key pair " + label);
    }
    // The token's public key with this label, as PEM in the working
    // directory. (pkcs11-tool --read-object frees an EC key's parameters
    // before it is done with them, which the sanitizer build reports.)
    std::string exportPublicKey(const std::string& label)
    {
        const std::string pem = label + ".pem";
        // p11tool logs in for this; GNUTLS_PIN answers its prompt.
        ok(m_token.runThirdParty({"env", "GNUTLS_PIN=" + kUserPin, "p11tool", "--provider", VEXA_PKCS11_MODULE,
                                  "--export-pubkey", "--outfile", pem, "pkcs11:object=" + label + ";type=public"}),
           "public key " + label);
        return pem;
    }
    std::string dir() const
    {
        const std::string marker = m_token.file("x");
        return marker.substr(0, marker.size() - 2);
    }

    ToolsDeployment m_token{LibraryTransport::Unix};
};

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> all;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        all.push_back(line);
    }
    return all;
}

TEST_F(Applications, P11toolListsTheTokensObjects)
{
    generateKeyPair("EC:prime256v1", "p11tool-key", "01");
    const std::string listing =
        ok(m_token.runThirdParty({"p11tool", "--provider", VEXA_PKCS11_MODULE, "--list-all"}), "p11tool");
    EXPECT_NE(listing.find("serial=0123456789AB;token=Vexa%200123456789AB;id=%01;object=p11tool-key;type=public"),
              std::string::npos)
        << listing;
    EXPECT_NE(listing.find("Type: Public key (EC/ECDSA-SECP256R1)"), std::string::npos) << listing;
}

TEST_F(Applications, SshKeygenPrintsThePublicKeyOfTheTokensRsaKey)
{
    generateKeyPair("rsa:2048", "ssh-key", "02");
    const std::string pem = exportPublicKey("ssh-key");
    const std::string expected = ok(runIn(dir(), {"ssh-keygen", "-i", "-m", "PKCS8", "-f", pem}), "ssh-keygen -i");
    ASSERT_EQ(expected.rfind("ssh-rsa AAAA", 0), 0u) << expected;
    const std::string blob = lines(expected).at(0).substr(0, expected.find(' ', 8));

    const std::string listed = ok(m_token.runThirdParty({"ssh-keygen", "-D", VEXA_PKCS11_MODULE}), "ssh-keygen -D");
    EXPECT_NE(listed.find(blob + " ssh-key"), std::string::npos) << "expected " << blob << " in\n" << listed;
}

TEST_F(Applications, OpenSslSignsWithTheTokensEcKeyThroughTheEngine)
{
    generateKeyPair("EC:prime256v1", "ec-key", "03");
    const std::string pem = exportPublicKey("ec-key");
    const std::string enginesLine = ok(runIn(dir(), {"openssl", "version", "-e"}), "openssl version");
    std::smatch engines;
    ASSERT_TRUE(std::regex_search(enginesLine, engines, std::regex("ENGINESDIR: \"([^\"]+)\""))) << enginesLine;
    writeFile(m_token.file("openssl.cnf"),
              "openssl_conf = init\n"
              "[init]\nengines = engines\n"
              "[engines]\npkcs11 = pkcs11\n"
              "[pkcs11]\nengine_id = pkcs11\n"
              "dynamic_path = " +
                  engines[1].str() +
                  "/pkcs11.so\n"
                  "MODULE_PATH = " VEXA_PKCS11_MODULE "\ninit = 0\n");
    writeFile(m_token.file("data.txt"), "signed by a token\n");

    ok(m_token.runThirdParty({"env", "OPENSSL_CONF=openssl.cnf", "openssl", "dgst", "-sha256", "-engine", "pkcs11",
                              "-keyform", "engine", "-sign", "pkcs11:object=ec-key;type=private;pin-value=" + kUserPin,
                              "-out", "data.sig", "data.txt"}),
       "openssl dgst -sign through the engine");
    const std::string verified =
        ok(runIn(dir(), {"openssl", "dgst", "-sha256", "-verify", pem, "-signature", "data.sig", "data.txt"}),
           "openssl dgst -verify");
    EXPECT_EQ(verified, "Verified OK\n");
}

// A TCP port nobody listens on now.
int freePort()
{
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = 0;
    if (bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    close(s);
    return port;
}

// TLS 1.3 signs the handshake with RSA-PSS only: a server whose RSA key is
// on the token needs the token's raw PSS, and finds it in the mechanism list.
TEST_F(Applications, GnutlsServerWithTheTokensRsaKeyCompletesATls13Handshake)
{
    generateKeyPair("rsa:2048", "tls-key", "04");
    const std::string pem = exportPublicKey("tls-key");
    // A CA of software keys certifies the token's public key.
    writeFile(m_token.file("ca.cfg"), "cn = test CA\nca\ncert_signing_key\nexpiration_days = 2\n");
    writeFile(m_token.file("cert.cfg"),
              "cn = localhost\ndns_name = localhost\ntls_www_server\nsigning_key\n"
              "expiration_days = 2\n");
    ok(runIn(dir(), {"certtool", "--generate-privkey", "--key-type", "ecdsa", "--outfile", "ca.key"}), "CA key");
    ok(runIn(dir(), {"certtool", "--generate-self-signed", "--load-privkey", "ca.key", "--template", "ca.cfg",
                     "--outfile", "ca.pem"}),
       "CA certificate");
    ok(runIn(dir(), {"certtool", "--generate-certificate", "--load-pubkey", pem, "--load-ca-privkey", "ca.key",
                     "--load-ca-certificate", "ca.pem", "--template", "cert.cfg", "--outfile", "cert.pem"}),
       "server certificate");

    const int port = freePort();
    ASSERT_NE(port, 0);
    const std::string priority = "NORMAL:-VERS-ALL:+VERS-TLS1.3";
    auto server =
        m_token.startThirdParty({"gnutls-serv", "--provider", VEXA_PKCS11_MODULE, "--echo", "--priority", priority,
                                 "--port", std::to_string(port), "--x509certfile", "cert.pem", "--x509keyfile",
                                 "pkcs11:object=tls-key;type=private;pin-value=" + kUserPin});
    ASSERT_TRUE(server->readUntil("Echo Server listening on IPv4", std::chrono::seconds(30))) << server->transcript();

    const std::string client = ok(runIn(dir(), {"gnutls-cli", "--priority", priority, "--x509cafile", "ca.pem",
                                                "--port", std::to_string(port), "localhost"}),
                                  "gnutls-cli");
    EXPECT_NE(client.find("Handshake was completed"), std::string::npos) << client;
    EXPECT_NE(client.find("(TLS1.3"), std::string::npos) << client;
    EXPECT_NE(client.find("RSA-PSS-RSAE-SHA256"), std::string::npos) << client;
    kill(server->pid(), SIGTERM);
    server->finish(std::chrono::seconds(10));
}

}  // namespace
}  // namespace vexa::test
