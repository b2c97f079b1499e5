#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <thread>

#include "platform/security/SystemRoots.h"
#include "platform/security/Trust.h"
#include "tests/platform/security/SecurityFixtures.h"

namespace {

const std::string kFixtures = QM_TEST_FIXTURES;

using security::Certificate;
using security::Policy;
using security::Trust;
using security::TrustResult;

Certificate cert(const std::string& name) { return test::fixtureCertificate(kFixtures, name); }

TrustResult evaluate(Trust& trust) {
  TrustResult result = TrustResult::Invalid;
  EXPECT_EQ(trust.evaluate(result), security::errSecSuccess);
  EXPECT_EQ(trust.result(), result);
  return result;
}

// Every trust here uses the test CA as its only system root, so no result depends on the machine.
class TrustTest : public testing::Test {
 protected:
  void SetUp() override { security::setSystemRootsForTesting(std::vector<Certificate>{cert("ca")}); }
  void TearDown() override { security::setSystemRootsForTesting(std::nullopt); }
};

TEST_F(TrustTest, ChainAndHostAgainstTheRoots) {
  const auto ssl = [](std::optional<std::string> host) { return Policy::createSSL(true, std::move(host)); };
  const struct {
    const char* name;
    std::vector<std::string> chain;
    Policy policy;
    TrustResult expected;
  } cases[] = {
      {"leaf and CA, by name", {"localhost", "ca"}, ssl("localhost"), TrustResult::Unspecified},
      {"leaf alone, by address", {"localhost"}, ssl("127.0.0.1"), TrustResult::Unspecified},
      {"name case does not matter", {"localhost"}, ssl("LocalHost"), TrustResult::Unspecified},
      {"trailing dot", {"localhost"}, ssl("localhost."), TrustResult::Unspecified},
      {"no host name given", {"localhost"}, ssl(std::nullopt), TrustResult::Unspecified},
      {"basic policy ignores names", {"wronghost"}, Policy::createBasicX509(), TrustResult::Unspecified},
      {"other name", {"localhost"}, ssl("example.org"), TrustResult::RecoverableTrustFailure},
      {"other address", {"localhost"}, ssl("127.0.0.2"), TrustResult::RecoverableTrustFailure},
      {"address not in the leaf", {"localhost"}, ssl("[::1]"), TrustResult::RecoverableTrustFailure},
      {"empty host name", {"localhost"}, ssl(""), TrustResult::RecoverableTrustFailure},
      {"wrong-host leaf", {"wronghost"}, ssl("localhost"), TrustResult::RecoverableTrustFailure},
      {"wrong-host leaf, its own name", {"wronghost"}, ssl("wrong.example"), TrustResult::Unspecified},
      {"self-signed leaf", {"selfsigned"}, ssl("localhost"), TrustResult::RecoverableTrustFailure},
      {"self-signed leaf, basic", {"selfsigned"}, Policy::createBasicX509(), TrustResult::RecoverableTrustFailure},
      {"server leaf used as a client", {"localhost"}, Policy::createSSL(false, std::nullopt),
       TrustResult::RecoverableTrustFailure},
  };
  for (const auto& c : cases) {
    std::vector<Certificate> chain;
    for (const auto& name : c.chain) chain.push_back(cert(name));
    auto trust = Trust::create(chain, {c.policy});
    ASSERT_TRUE(trust) << c.name;
    EXPECT_EQ(evaluate(*trust), c.expected) << c.name << ": " << trust->failureReason();
    EXPECT_EQ(trust->failureReason().empty(), c.expected == TrustResult::Unspecified) << c.name;
  }
}

TEST_F(TrustTest, AnchorsReplaceTheRootsUnlessAnchorsOnlyIsTurnedOff) {
  const struct {
    const char* name;
    std::string leaf;
    std::vector<std::string> anchors;
    bool anchorsOnly;
    TrustResult expected;
  } cases[] = {
      {"self-signed leaf as its own anchor", "selfsigned", {"selfsigned"}, true, TrustResult::Unspecified},
      {"pinned leaf that is not self-signed", "localhost", {"localhost"}, true, TrustResult::Unspecified},
      {"the CA as anchor", "localhost", {"ca"}, true, TrustResult::Unspecified},
      {"unrelated anchor hides the roots", "localhost", {"selfsigned"}, true, TrustResult::RecoverableTrustFailure},
      {"unrelated anchor plus the roots", "localhost", {"selfsigned"}, false, TrustResult::Unspecified},
      {"no anchors at all", "localhost", {}, true, TrustResult::RecoverableTrustFailure},
      {"same key is not the same certificate", "localhost", {"samekey"}, true, TrustResult::RecoverableTrustFailure},
  };
  for (const auto& c : cases) {
    auto trust = Trust::create({cert(c.leaf)}, {Policy::createSSL(true, "localhost")});
    ASSERT_TRUE(trust);
    std::vector<Certificate> anchors;
    for (const auto& name : c.anchors) anchors.push_back(cert(name));
    trust->setAnchorCertificates(anchors);
    EXPECT_TRUE(trust->anchorCertificatesOnly()) << c.name;
    trust->setAnchorCertificatesOnly(c.anchorsOnly);
    EXPECT_EQ(evaluate(*trust), c.expected) << c.name << ": " << trust->failureReason();
  }
}

TEST_F(TrustTest, ReplacedRootsAreTheOnlySystemRoots) {
  security::setSystemRootsForTesting(std::vector<Certificate>{});
  auto trust = Trust::create({cert("localhost")}, {});
  EXPECT_EQ(evaluate(*trust), TrustResult::RecoverableTrustFailure);
  // The machine's own store does not hold the test CA either.
  security::setSystemRootsForTesting(std::nullopt);
  EXPECT_FALSE(security::systemRootsForTesting());
  EXPECT_EQ(evaluate(*trust), TrustResult::RecoverableTrustFailure);
  security::setSystemRootsForTesting(std::vector<Certificate>{cert("ca")});
  EXPECT_EQ(evaluate(*trust), TrustResult::Unspecified);
}

TEST_F(TrustTest, ChainAfterEvaluationIsTheVerifiedPath) {
  // The server sends an unrelated certificate along; the verified path leaves it out.
  auto trust = Trust::create({cert("localhost"), cert("selfsigned")}, {Policy::createSSL(true, "localhost")});
  ASSERT_EQ(trust->certificateCount(), 2u);
  EXPECT_TRUE(*trust->certificateAtIndex(1) == cert("selfsigned"));
  ASSERT_EQ(evaluate(*trust), TrustResult::Unspecified);
  ASSERT_EQ(trust->certificateCount(), 2u);
  EXPECT_TRUE(*trust->certificateAtIndex(0) == cert("localhost"));
  EXPECT_TRUE(*trust->certificateAtIndex(1) == cert("ca"));
  EXPECT_FALSE(trust->certificateAtIndex(2));
  EXPECT_TRUE(*trust->copyPublicKey() == *cert("samekey").copyKey());
}

TEST_F(TrustTest, ChangesForgetTheLastResult) {
  auto trust = Trust::create({cert("localhost")}, {Policy::createSSL(true, "localhost")});
  EXPECT_EQ(trust->result(), TrustResult::Invalid);
  EXPECT_EQ(evaluate(*trust), TrustResult::Unspecified);
  trust->setPolicies({Policy::createSSL(true, "wrong.example")});
  EXPECT_EQ(trust->result(), TrustResult::Invalid);
  EXPECT_EQ(trust->certificateCount(), 1u);
  EXPECT_EQ(evaluate(*trust), TrustResult::RecoverableTrustFailure);
  EXPECT_EQ(trust->failureReason(), "hostname mismatch");
  trust->setPolicies({});
  ASSERT_EQ(trust->policies().size(), 1u);
  EXPECT_EQ(trust->policies()[0].kind(), Policy::Kind::BasicX509);
  EXPECT_EQ(evaluate(*trust), TrustResult::Unspecified);
}

TEST_F(TrustTest, VerifyDateOutsideTheValidityFails) {
  auto trust = Trust::create({cert("localhost")}, {});
  trust->setVerifyDate(foundation::Date::fromTimeIntervalSince1970(7258118400.0));  // 2200
  EXPECT_EQ(evaluate(*trust), TrustResult::RecoverableTrustFailure);
  EXPECT_EQ(trust->failureReason(), "certificate has expired");
  trust->setVerifyDate(foundation::Date::fromTimeIntervalSince1970(946684800.0));  // 2000
  EXPECT_EQ(evaluate(*trust), TrustResult::RecoverableTrustFailure);
  trust->setVerifyDate(foundation::Date::now());
  EXPECT_EQ(evaluate(*trust), TrustResult::Unspecified);
}

TEST_F(TrustTest, RevocationIsCheckedAgainstSuppliedLists) {
  const auto crl = test::fixtureBytes(kFixtures + "/ca-crl.der");
  const auto crlPem = test::fixtureBytes(kFixtures + "/ca-crl.pem");
  const auto strict = security::kSecRevocationUseAnyAvailableMethod | security::kSecRevocationRequirePositiveResponse;
  const struct {
    const char* name;
    std::string leaf;
    std::vector<foundation::Data> lists;
    std::uint64_t flags;
    TrustResult expected;
  } cases[] = {
      {"revoked leaf", "wronghost", {crl}, security::kSecRevocationUseAnyAvailableMethod, TrustResult::FatalTrustFailure},
      {"revoked leaf, PEM list", "wronghost", {crlPem}, security::kSecRevocationCRLMethod, TrustResult::FatalTrustFailure},
      {"leaf not on the list", "localhost", {crl}, security::kSecRevocationUseAnyAvailableMethod, TrustResult::Unspecified},
      {"no list, best effort", "wronghost", {}, security::kSecRevocationUseAnyAvailableMethod, TrustResult::Unspecified},
      {"no list, positive answer required", "localhost", {}, strict, TrustResult::RecoverableTrustFailure},
      {"list covers the chain, positive answer required", "localhost", {crl}, strict, TrustResult::Unspecified},
      {"unreadable list is ignored", "wronghost", {{1, 2, 3}}, security::kSecRevocationCRLMethod, TrustResult::Unspecified},
  };
  for (const auto& c : cases) {
    auto trust = Trust::create({cert(c.leaf)}, {Policy::createBasicX509(), Policy::createRevocation(c.flags)});
    trust->setRevocationLists(c.lists);
    EXPECT_EQ(evaluate(*trust), c.expected) << c.name << ": " << trust->failureReason();
  }
  // Without a revocation policy the lists are not consulted.
  auto trust = Trust::create({cert("wronghost")}, {Policy::createBasicX509()});
  trust->setRevocationLists({crl});
  EXPECT_EQ(evaluate(*trust), TrustResult::Unspecified);
}

TEST_F(TrustTest, ThreadsEvaluateSideBySide) {
  // Handshakes on several connections evaluate at once against the one shared root store.
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 20; ++i) {
        const bool good = (t + i) % 2 == 0;
        auto trust = Trust::create({cert(good ? "localhost" : "selfsigned")}, {Policy::createSSL(true, "localhost")});
        TrustResult result = TrustResult::Invalid;
        trust->evaluate(result);
        if (result != (good ? TrustResult::Unspecified : TrustResult::RecoverableTrustFailure)) ++wrong;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
}

TEST(TrustCreation, RefusesAnEmptyChain) {
  std::shared_ptr<Trust> trust = Trust::create({test::fixtureCertificate(kFixtures, "ca")}, {});
  EXPECT_EQ(Trust::createWithCertificates({}, {}, trust), security::errSecParam);
  EXPECT_FALSE(trust);
}

}  // namespace
