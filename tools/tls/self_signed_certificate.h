#pragma once

#include <optional>
#include <string>

namespace tavrel_mmp::tools {

struct CertificateFiles {
  std::string certificatePath;  // PEM
  std::string privateKeyPath;   // PEM, unencrypted, readable by the owner only
};

// Makes a self-signed server certificate for one IP address (EC P-256 key, SHA-256 signature,
// the address as its common name and IP subjectAltName, valid from now for `validDays`) and
// writes "certificate.pem" and "private_key.pem" into the existing folder `directory`. A TLS
// client that trusts exactly this certificate accepts a server using it at that address.
// None when a step fails.
std::optional<CertificateFiles> makeSelfSignedCertificate(
    const std::string& directory, const std::string& ipAddress = "127.0.0.1", int validDays = 3);

}  // namespace tavrel_mmp::tools
