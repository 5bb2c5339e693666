#pragma once
#include <string>

namespace vexa::test {

// A CA and two server certificates signed by it (EC P-256), made with the
// openssl command in dir: one for "localhost", one for another host.
struct TestCertificates {
    std::string caCert;
    std::string serverCert;  // names localhost
    std::string serverKey;
    std::string otherHostCert;  // names otherhost.test
    std::string otherHostKey;
};

// Throws std::runtime_error when openssl fails.
TestCertificates makeTestCertificates(const std::string& dir);

// Client certificates (EC P-256): a client CA with one client, the client's
// key also encrypted, and a client of another CA.
struct ClientCertificates {
    static constexpr const char* kKeyPassword = "client-secret";

    std::string caCert;  // what the daemon's -cca names
    std::string cert;
    std::string key;
    std::string encryptedKey;  // key, encrypted with kKeyPassword
    std::string foreignCert;   // issued by another CA
    std::string foreignKey;
};

// Made with the openssl command in dir; throws std::runtime_error when it fails.
ClientCertificates makeClientCertificates(const std::string& dir);

}  // namespace vexa::test
