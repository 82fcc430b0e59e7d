#include "tls/self_signed_certificate.h"

#include <fcntl.h>
#include <unistd.h>

#include <memory>

#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace tavrel_mmp::tools {
namespace {

template <auto Free>
struct Freer {
  template <class T>
  void operator()(T* p) const {
    Free(p);
  }
};
using Key = std::unique_ptr<EVP_PKEY, Freer<EVP_PKEY_free>>;
using Certificate = std::unique_ptr<X509, Freer<X509_free>>;
using Extension = std::unique_ptr<X509_EXTENSION, Freer<X509_EXTENSION_free>>;
using Bio = std::unique_ptr<BIO, Freer<BIO_free_all>>;
using BigNumber = std::unique_ptr<BIGNUM, Freer<BN_free>>;

bool addExtension(X509* certificate, int nid, const std::string& value) {
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, certificate, certificate, nullptr, nullptr, 0);
  const Extension extension(X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str()));
  return extension && X509_add_ext(certificate, extension.get(), -1) == 1;
}

bool setRandomSerial(X509* certificate) {
  const BigNumber serial(BN_new());
  // 63 bits, top bit clear: positive and at most 8 bytes, as clients expect.
  return serial && BN_rand(serial.get(), 63, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) == 1 &&
         BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(certificate)) != nullptr;
}

// The file is created owner-only before anything is written into it.
Bio createPrivateFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return nullptr;
  Bio bio(BIO_new_fd(fd, BIO_CLOSE));
  if (!bio) ::close(fd);
  return bio;
}

}  // namespace

std::optional<CertificateFiles> makeSelfSignedCertificate(const std::string& directory,
                                                          const std::string& ipAddress,
                                                          int validDays) {
  const Key key(EVP_EC_gen("P-256"));
  const Certificate certificate(X509_new());
  if (!key || !certificate) return std::nullopt;
  X509* cert = certificate.get();
  X509_NAME* name = X509_get_subject_name(cert);
  const auto* commonName = reinterpret_cast<const unsigned char*>(ipAddress.c_str());
  const bool made =
      X509_set_version(cert, X509_VERSION_3) == 1 && setRandomSerial(cert) &&
      X509_gmtime_adj(X509_getm_notBefore(cert), 0) != nullptr &&
      X509_gmtime_adj(X509_getm_notAfter(cert), 86400L * validDays) != nullptr &&
      X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, commonName, -1, -1, 0) == 1 &&
      X509_set_issuer_name(cert, name) == 1 && X509_set_pubkey(cert, key.get()) == 1 &&
      addExtension(cert, NID_basic_constraints, "critical,CA:FALSE") &&
      addExtension(cert, NID_ext_key_usage, "serverAuth") &&
      addExtension(cert, NID_subject_key_identifier, "hash") &&
      addExtension(cert, NID_subject_alt_name, "IP:" + ipAddress) &&
      X509_sign(cert, key.get(), EVP_sha256()) > 0;
  if (!made) return std::nullopt;

  CertificateFiles files{directory + "/certificate.pem", directory + "/private_key.pem"};
  const Bio keyFile = createPrivateFile(files.privateKeyPath);
  if (!keyFile || PEM_write_bio_PrivateKey(keyFile.get(), key.get(), nullptr, nullptr, 0, nullptr,
                                           nullptr) != 1) {
    return std::nullopt;
  }
  const Bio certificateFile(BIO_new_file(files.certificatePath.c_str(), "w"));
  if (!certificateFile || PEM_write_bio_X509(certificateFile.get(), cert) != 1 ||
      BIO_flush(certificateFile.get()) != 1) {
    return std::nullopt;
  }
  return files;
}

}  // namespace tavrel_mmp::tools
