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

}  // namespace vexa::test
