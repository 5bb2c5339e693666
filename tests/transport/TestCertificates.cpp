#include "TestCertificates.h"

#include <cstdlib>
#include <fstream>
#include <stdexcept>

namespace vexa::test {
namespace {

void run(const std::string& command)
{
    if (std::system((command + " >/dev/null 2>&1").c_str()) != 0) {
        throw std::runtime_error("failed: " + command);
    }
}

void makeKey(const std::string& path) { run("openssl ecparam -name prime256v1 -genkey -noout -out '" + path + "'"); }

void makeServerCert(const std::string& dir, const std::string& name, const std::string& host,
                    const TestCertificates& ca)
{
    const std::string base = dir + "/" + name;
    makeKey(base + ".key");
    run("openssl req -new -key '" + base + ".key' -subj '/CN=" + host + "' -out '" + base + ".csr'");
    std::ofstream(base + ".ext") << "subjectAltName=DNS:" << host << "\nbasicConstraints=CA:FALSE\n";
    run("openssl x509 -req -in '" + base + ".csr' -CA '" + ca.caCert + "' -CAkey '" + dir +
        "/ca.key' -set_serial 2 -days 2 -extfile '" + base + ".ext' -out '" + base + ".crt'");
}

void makeCa(const std::string& dir, const std::string& name, const std::string& subject)
{
    makeKey(dir + "/" + name + ".key");
    run("openssl req -x509 -new -key '" + dir + "/" + name + ".key' -subj '" + subject +
        "' -days 2 -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign -out '" +
        dir + "/" + name + ".crt'");
}

void makeClientCert(const std::string& dir, const std::string& name, const std::string& ca)
{
    const std::string base = dir + "/" + name;
    makeKey(base + ".key");
    run("openssl req -new -key '" + base + ".key' -subj '/CN=" + name + "' -out '" + base + ".csr'");
    std::ofstream(base + ".ext")
        << "basicConstraints=CA:FALSE\nkeyUsage=digitalSignature\nextendedKeyUsage=clientAuth\n";
    run("openssl x509 -req -in '" + base + ".csr' -CA '" + dir + "/" + ca + ".crt' -CAkey '" + dir + "/" + ca +
        ".key' -set_serial 3 -days 2 -extfile '" + base + ".ext' -out '" + base + ".crt'");
}

}  // namespace

ClientCertificates makeClientCertificates(const std::string& dir)
{
    makeCa(dir, "client-ca", "/CN=Vexa Test Client CA");
    makeClientCert(dir, "client", "client-ca");
    makeCa(dir, "foreign-ca", "/CN=Another Client CA");
    makeClientCert(dir, "foreign", "foreign-ca");
    ClientCertificates certs;
    certs.caCert = dir + "/client-ca.crt";
    certs.cert = dir + "/client.crt";
    certs.key = dir + "/client.key";
    certs.encryptedKey = dir + "/client-encrypted.key";
    certs.foreignCert = dir + "/foreign.crt";
    certs.foreignKey = dir + "/foreign.key";
    // The traditional PEM encryption, which mbed TLS 2 reads.
    run("openssl ec -in '" + certs.key + "' -aes128 -passout pass:" + ClientCertificates::kKeyPassword + " -out '" +
        certs.encryptedKey + "'");
    return certs;
}

TestCertificates makeTestCertificates(const std::string& dir)
{
    TestCertificates certs;
    makeKey(dir + "/ca.key");
    certs.caCert = dir + "/ca.crt";
    run("openssl req -x509 -new -key '" + dir +
        "/ca.key' -subj '/CN=Vexa Test CA' -days 2 -addext "
        "basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign -out '" +
        certs.caCert + "'");
    makeServerCert(dir, "server", "localhost", certs);
    makeServerCert(dir, "other", "otherhost.test", certs);
    certs.serverCert = dir + "/server.crt";
    certs.serverKey = dir + "/server.key";
    certs.otherHostCert = dir + "/other.crt";
    certs.otherHostKey = dir + "/other.key";
    return certs;
}

}  // namespace vexa::test
