// The run-time certificate must carry an HTTPS connection to the local service through the
// library's transport, and only for the address and the trust it was made for.
#include <sys/stat.h>

#include <cstdio>
#include <ctime>
#include <future>
#include <memory>
#include <string>

#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include "local_service/local_service.h"
#include "support/test_support.h"
#include "tavrel_mmp/platform/http_transport.h"
#include "tls/self_signed_certificate.h"

namespace tavrel_mmp {
namespace {

using tools::makeSelfSignedCertificate;

// Posts once through a transport trusting only `caInfoPath`; the transport's error, if any.
std::optional<HttpError> postThrough(const std::string& caInfoPath, const std::string& url) {
  auto outcome = std::make_shared<std::promise<std::optional<HttpError>>>();
  auto answered = outcome->get_future();
  platform::makeCurlTransport({.caInfoPath = caInfoPath})
      ->send({.url = url, .body = "{}"},
             [outcome](auto body, auto error) { outcome->set_value(body ? std::nullopt : error); });
  EXPECT_EQ(answered.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  return answered.get();
}

TEST(SelfSignedCertificate, CarriesHttpsOnlyForItsAddressAndItsTrust) {
  struct Case {
    const char* name;
    const char* servedAddress;  // the address the served certificate was made for
    bool trustServedOne;        // false: the client trusts another run's certificate
    bool connects;
  };
  const Case cases[] = {
      {"its own address, trusted", "127.0.0.1", true, true},
      {"another run's certificate trusted", "127.0.0.1", false, false},
      {"made for another address", "127.0.0.2", true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TempDir served, other;
    const auto files = makeSelfSignedCertificate(served.path(), c.servedAddress);
    const auto otherFiles = makeSelfSignedCertificate(other.path());
    ASSERT_TRUE(files && otherFiles);
    tools::LocalService service(
        {.certificatePath = files->certificatePath, .privateKeyPath = files->privateKeyPath});
    ASSERT_TRUE(service.start());

    const auto error =
        postThrough(c.trustServedOne ? files->certificatePath : otherFiles->certificatePath,
                    service.baseUrl() + "/partner/crash/log");
    EXPECT_EQ(!error, c.connects) << (error ? error->description : "connected");
    EXPECT_EQ(service.requests().size(), c.connects ? 1u : 0u);
  }
}

TEST(SelfSignedCertificate, IsValidFromNowForTheGivenDaysWithAPrivateKeyFile) {
  for (const int days : {1, 3, 30}) {
    SCOPED_TRACE(days);
    testing::TempDir dir;
    const std::time_t before = std::time(nullptr);
    const auto files = makeSelfSignedCertificate(dir.path(), "127.0.0.1", days);
    ASSERT_TRUE(files);

    std::FILE* file = std::fopen(files->certificatePath.c_str(), "r");
    ASSERT_NE(file, nullptr);
    std::unique_ptr<X509, decltype(&X509_free)> certificate(
        PEM_read_X509(file, nullptr, nullptr, nullptr), &X509_free);
    std::fclose(file);
    ASSERT_TRUE(certificate);
    // Both instants against `before`: notBefore within a few seconds of it, notAfter `days` on.
    int dayDiff = 0, secondDiff = 0;
    ASSERT_EQ(
        ASN1_TIME_diff(&dayDiff, &secondDiff, nullptr, X509_get0_notBefore(certificate.get())), 1);
    EXPECT_EQ(dayDiff, 0);
    EXPECT_LE(secondDiff, 0);
    EXPECT_GE(secondDiff, -5 - static_cast<int>(std::time(nullptr) - before));
    ASSERT_EQ(ASN1_TIME_diff(&dayDiff, &secondDiff, X509_get0_notBefore(certificate.get()),
                             X509_get0_notAfter(certificate.get())),
              1);
    EXPECT_EQ(dayDiff, days);
    EXPECT_EQ(secondDiff, 0);

    struct stat key {};
    ASSERT_EQ(::stat(files->privateKeyPath.c_str(), &key), 0);
    EXPECT_EQ(key.st_mode & 0777, 0600u);
  }
}

TEST(SelfSignedCertificate, GivesNothingWhereItCannotWrite) {
  testing::TempDir dir;
  EXPECT_FALSE(makeSelfSignedCertificate(dir.path() + "/missing"));
}

}  // namespace
}  // namespace tavrel_mmp
