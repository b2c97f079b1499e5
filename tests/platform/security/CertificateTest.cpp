#include <gtest/gtest.h>

#include "platform/security/Certificate.h"
#include "platform/security/PublicKey.h"
#include "tests/platform/security/SecurityFixtures.h"

namespace {

const std::string kFixtures = QM_TEST_FIXTURES;

using security::Certificate;
using security::PublicKey;

TEST(Certificate, RefusesDataThatIsNotExactlyOneCertificate) {
  const foundation::Data good = test::fixtureBytes(kFixtures + "/localhost.der");
  foundation::Data trailing = good;
  trailing.push_back(0);
  const foundation::Data truncated(good.begin(), good.end() - 1);
  const std::string pem = test::readFile(kFixtures + "/localhost.pem");
  const struct {
    const char* name;
    foundation::Data bytes;
  } cases[] = {
      {"empty", {}},
      {"garbage", {0x30, 0x03, 0x02, 0x01, 0x05}},
      {"trailing byte", trailing},
      {"truncated", truncated},
      {"PEM text", foundation::Data(pem.begin(), pem.end())},
      {"revocation list", test::fixtureBytes(kFixtures + "/ca-crl.der")},
  };
  for (const auto& c : cases) EXPECT_FALSE(Certificate::createWithData(c.bytes)) << c.name;
}

TEST(Certificate, KeepsItsDERAndReadsTheSameFromPEM) {
  const foundation::Data der = test::fixtureBytes(kFixtures + "/localhost.der");
  auto fromDer = Certificate::createWithData(der);
  auto fromPem = Certificate::createWithPEM(test::readFile(kFixtures + "/localhost.pem"));
  ASSERT_TRUE(fromDer && fromPem);
  EXPECT_EQ(fromDer->data(), der);
  EXPECT_TRUE(*fromDer == *fromPem);
  EXPECT_FALSE(*fromDer == test::fixtureCertificate(kFixtures, "samekey"));
  EXPECT_FALSE(Certificate::createWithPEM("no certificate here"));
}

TEST(Certificate, ReadsEveryBlockOfABundleAndSkipsBrokenOnes) {
  const std::string bundle = test::readFile(kFixtures + "/ca.pem") +
                             "-----BEGIN CERTIFICATE-----\nbm90IGEgY2VydA==\n-----END CERTIFICATE-----\n" +
                             test::readFile(kFixtures + "/localhost.pem");
  const auto all = Certificate::createAllWithPEM(bundle);
  ASSERT_EQ(all.size(), 2u);
  EXPECT_TRUE(all[0] == test::fixtureCertificate(kFixtures, "ca"));
  EXPECT_TRUE(all[1] == test::fixtureCertificate(kFixtures, "localhost"));
}

TEST(Certificate, SummarisesItsSubject) {
  EXPECT_EQ(test::fixtureCertificate(kFixtures, "localhost").subjectSummary(), "localhost");
  EXPECT_EQ(test::fixtureCertificate(kFixtures, "ca").subjectSummary(), "Quillmere Test CA");
  EXPECT_EQ(test::fixtureCertificate(kFixtures, "wronghost").subjectDescription(),
            "O=Quillmere Test, CN=wrong.example");
}

TEST(PublicKey, EqualWhenTheKeyIsTheSameWhateverTheCertificate) {
  auto localhost = test::fixtureCertificate(kFixtures, "localhost").copyKey();
  auto samekey = test::fixtureCertificate(kFixtures, "samekey").copyKey();
  auto ca = test::fixtureCertificate(kFixtures, "ca").copyKey();
  ASSERT_TRUE(localhost && samekey && ca);
  EXPECT_TRUE(*localhost == *samekey);
  EXPECT_FALSE(*localhost == *ca);
  EXPECT_EQ(localhost->algorithmName(), "RSA");
  EXPECT_EQ(localhost->bitSize(), 2048);

  auto reread = PublicKey::createWithSubjectPublicKeyInfo(localhost->subjectPublicKeyInfo());
  ASSERT_TRUE(reread);
  EXPECT_TRUE(*reread == *localhost);
  EXPECT_FALSE(PublicKey::createWithSubjectPublicKeyInfo({0x30, 0x00}));
  EXPECT_FALSE(PublicKey::createWithSubjectPublicKeyInfo(test::fixtureBytes(kFixtures + "/localhost.der")));
}

}  // namespace
