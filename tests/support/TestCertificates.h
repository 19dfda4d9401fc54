#pragma once

#include <string>
#include <vector>

namespace Nimbo::Testing {

// A certificate authority and one server certificate issued by it, made at run time, all PEM.
struct TestCertificates {
    std::string CaPem;
    std::string CertPem;
    std::string KeyPem;
};

// Names may be DNS names or IPv4 addresses; each becomes a subject alternative name.
TestCertificates MakeTestCertificates(const std::vector<std::string>& ANames);

// Writes text into a new file under the system's temporary folder and returns its path.
std::string WriteTempFile(const std::string& APrefix, const std::string& AContent);

}  // namespace Nimbo::Testing
