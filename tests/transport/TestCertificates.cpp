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

}  // namespace

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
