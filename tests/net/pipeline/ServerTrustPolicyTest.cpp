#include <gtest/gtest.h>

#include <filesystem>

#include "net/pipeline/ServerTrustPolicy.h"
#include "net/pipeline/ServerTrustPolicyManager.h"
#include "platform/security/SystemRoots.h"
#include "tests/platform/security/SecurityFixtures.h"

namespace {

using pipeline::ServerTrustPolicy;
using pipeline::ServerTrustPolicyManager;
using security::Certificate;
using security::PublicKey;
using security::Trust;

// The TLS fixtures live with the security tests.
std::string fixturesFolder() {
  const std::string own = QM_TEST_FIXTURES;
  const std::string suffix = "net/pipeline/fixtures";
  return own.substr(0, own.size() - suffix.size()) + "platform/security/fixtures";
}

Certificate cert(const std::string& name) { return test::fixtureCertificate(fixturesFolder(), name); }
PublicKey keyOf(const std::string& name) { return *cert(name).copyKey(); }

std::shared_ptr<Trust> serverTrust(const std::vector<std::string>& chain) {
  std::vector<Certificate> certificates;
  for (const auto& name : chain) certificates.push_back(cert(name));
  // The trust a TLS handshake hands over: the presented chain with the SSL policy for the host.
  return Trust::create(certificates, {security::Policy::createSSL(true, "localhost")});
}

// The test CA is the only system root, so the default evaluation trusts the CA-signed leaves.
class ServerTrustPolicyTest : public testing::Test {
 protected:
  void SetUp() override { security::setSystemRootsForTesting(std::vector<Certificate>{cert("ca")}); }
  void TearDown() override { security::setSystemRootsForTesting(std::nullopt); }
};

struct Case {
  const char* name;
  ServerTrustPolicy policy;
  std::vector<std::string> chain;
  std::string host;
  bool expected;
};

void expectAll(const std::vector<Case>& cases) {
  for (const auto& c : cases) {
    EXPECT_EQ(c.policy.evaluate(serverTrust(c.chain), c.host), c.expected) << c.name;
  }
}

TEST_F(ServerTrustPolicyTest, DefaultEvaluation) {
  const auto validating = ServerTrustPolicy::performDefaultEvaluation(true);
  const auto lenient = ServerTrustPolicy::performDefaultEvaluation(false);
  expectAll({
      {"good leaf by name", validating, {"localhost"}, "localhost", true},
      {"good leaf by address", validating, {"localhost", "ca"}, "127.0.0.1", true},
      {"good leaf, other host", validating, {"localhost"}, "example.org", false},
      {"wrong-host leaf", validating, {"wronghost"}, "localhost", false},
      {"self-signed leaf is refused", validating, {"selfsigned"}, "localhost", false},
      {"wrong-host leaf without host check", lenient, {"wronghost"}, "localhost", true},
      {"self-signed leaf without host check", lenient, {"selfsigned"}, "localhost", false},
  });
}

TEST_F(ServerTrustPolicyTest, RevokedEvaluationAddsTheRevocationPolicy) {
  const auto crl = test::fixtureBytes(fixturesFolder() + "/ca-crl.der");
  const auto revoked = ServerTrustPolicy::performRevokedEvaluation(false, security::kSecRevocationUseAnyAvailableMethod);
  auto trust = serverTrust({"wronghost"});
  trust->setRevocationLists({crl});
  EXPECT_FALSE(revoked.evaluate(trust, "wrong.example"));
  EXPECT_TRUE(ServerTrustPolicy::performDefaultEvaluation(false).evaluate(trust, "wrong.example"));

  auto good = serverTrust({"localhost"});
  good->setRevocationLists({crl});
  EXPECT_TRUE(revoked.evaluate(good, "localhost"));
  // Offline there is no answer for a chain no list covers; requiring one fails.
  const auto strict = ServerTrustPolicy::performRevokedEvaluation(
      true, security::kSecRevocationUseAnyAvailableMethod | security::kSecRevocationRequirePositiveResponse);
  EXPECT_FALSE(strict.evaluate(serverTrust({"localhost"}), "localhost"));
}

TEST_F(ServerTrustPolicyTest, PinnedCertificatesWithChainValidation) {
  // The pins are the only roots: the test CA in the system store does not count.
  security::setSystemRootsForTesting(std::vector<Certificate>{});
  const auto pin = [](std::vector<std::string> names, bool validateHost) {
    std::vector<Certificate> pinned;
    for (const auto& name : names) pinned.push_back(cert(name));
    return ServerTrustPolicy::pinCertificates(pinned, true, validateHost);
  };
  expectAll({
      {"pinned leaf", pin({"localhost"}, true), {"localhost"}, "localhost", true},
      {"pinned CA", pin({"ca"}, true), {"localhost", "ca"}, "127.0.0.1", true},
      {"pinned self-signed leaf", pin({"selfsigned"}, true), {"selfsigned"}, "localhost", true},
      {"pinned leaf, other host", pin({"localhost"}, true), {"localhost"}, "example.org", false},
      {"pinned leaf, other host unchecked", pin({"localhost"}, false), {"localhost"}, "example.org", true},
      {"unrelated pin", pin({"selfsigned"}, true), {"localhost", "ca"}, "localhost", false},
      {"same key, other certificate", pin({"samekey"}, true), {"localhost"}, "localhost", false},
      {"no pins", pin({}, true), {"localhost"}, "localhost", false},
  });
}

TEST_F(ServerTrustPolicyTest, PinnedCertificatesWithoutChainValidationMatchTheLeafOnly) {
  const auto pin = [](std::vector<std::string> names) {
    std::vector<Certificate> pinned;
    for (const auto& name : names) pinned.push_back(cert(name));
    return ServerTrustPolicy::pinCertificates(pinned, false, true);
  };
  expectAll({
      {"pinned leaf, host not checked", pin({"localhost"}), {"localhost"}, "example.org", true},
      {"pinned self-signed leaf", pin({"selfsigned"}), {"selfsigned"}, "localhost", true},
      {"second pin matches", pin({"ca", "wronghost"}), {"wronghost"}, "localhost", true},
      {"empty pin list", pin({}), {"localhost"}, "localhost", false},
      {"same key, other certificate", pin({"samekey"}), {"localhost"}, "localhost", false},
      {"pinned CA above an unverified leaf", pin({"ca"}), {"localhost", "ca"}, "localhost", false},
      {"pinned certificate appended by the server", pin({"localhost"}), {"selfsigned", "localhost"}, "localhost", false},
  });
}

TEST_F(ServerTrustPolicyTest, PinnedPublicKeys) {
  const auto pin = [](std::vector<std::string> names, bool validateChain, bool validateHost) {
    std::vector<PublicKey> keys;
    for (const auto& name : names) keys.push_back(keyOf(name));
    return ServerTrustPolicy::pinPublicKeys(keys, validateChain, validateHost);
  };
  expectAll({
      {"leaf key from another certificate", pin({"samekey"}, true, true), {"localhost"}, "localhost", true},
      {"CA key on the verified path", pin({"ca"}, true, true), {"localhost"}, "localhost", true},
      {"unrelated key", pin({"wronghost"}, true, true), {"localhost"}, "localhost", false},
      {"key matches but host fails", pin({"localhost"}, true, true), {"localhost"}, "example.org", false},
      {"key matches, host unchecked", pin({"localhost"}, true, false), {"localhost"}, "example.org", true},
      {"key matches but chain is untrusted", pin({"selfsigned"}, true, true), {"selfsigned"}, "localhost", false},
      {"key sent along outside the verified path", pin({"selfsigned"}, true, true), {"localhost", "selfsigned"},
       "localhost", false},
      {"self-signed leaf key, no chain check", pin({"selfsigned"}, false, true), {"selfsigned"}, "example.org", true},
      {"leaf key, no chain check", pin({"samekey"}, false, false), {"localhost"}, "localhost", true},
      {"CA key above an unverified leaf", pin({"ca"}, false, false), {"selfsigned", "ca"}, "localhost", false},
      {"pinned key appended by the server", pin({"localhost"}, false, false), {"selfsigned", "localhost"}, "localhost",
       false},
      {"no keys", pin({}, false, false), {"localhost"}, "localhost", false},
  });
}

TEST_F(ServerTrustPolicyTest, CustomAndDisabledEvaluation) {
  std::string seenHost;
  std::shared_ptr<Trust> seenTrust;
  const auto custom = ServerTrustPolicy::customEvaluation([&](const std::shared_ptr<Trust>& trust, const std::string& host) {
    seenTrust = trust;
    seenHost = host;
    return host == "yes.example";
  });
  auto trust = serverTrust({"selfsigned"});
  EXPECT_TRUE(custom.evaluate(trust, "yes.example"));
  EXPECT_EQ(seenTrust, trust);
  EXPECT_FALSE(custom.evaluate(trust, "no.example"));
  EXPECT_EQ(seenHost, "no.example");
  EXPECT_FALSE(ServerTrustPolicy::customEvaluation(nullptr).evaluate(trust, "yes.example"));

  const auto disabled = ServerTrustPolicy::disableEvaluation();
  EXPECT_TRUE(disabled.evaluate(trust, "anything"));
  EXPECT_TRUE(disabled.evaluate(nullptr, "anything"));
  EXPECT_FALSE(ServerTrustPolicy::performDefaultEvaluation(false).evaluate(nullptr, "localhost"));
}

TEST(ServerTrustPolicyManager, LooksHostsUpExactly) {
  const ServerTrustPolicyManager manager({{"api.example.org", ServerTrustPolicy::disableEvaluation()},
                                          {"127.0.0.1", ServerTrustPolicy::performDefaultEvaluation(true)}});
  const struct {
    const char* host;
    std::optional<ServerTrustPolicy::Kind> expected;
  } cases[] = {
      {"api.example.org", ServerTrustPolicy::Kind::DisableEvaluation},
      {"127.0.0.1", ServerTrustPolicy::Kind::PerformDefaultEvaluation},
      {"API.example.org", std::nullopt},
      {"api.example.org.", std::nullopt},
      {"example.org", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases) {
    const auto policy = manager.serverTrustPolicy(c.host);
    ASSERT_EQ(policy.has_value(), c.expected.has_value()) << c.host;
    if (policy) {
      EXPECT_EQ(policy->kind(), *c.expected) << c.host;
    }
  }
}

TEST(ServerTrustPolicyManager, SubclassesMayOverrideTheLookup) {
  struct Wildcard : ServerTrustPolicyManager {
    Wildcard() : ServerTrustPolicyManager({}) {}
    std::optional<ServerTrustPolicy> serverTrustPolicy(const std::string&) const override {
      return ServerTrustPolicy::disableEvaluation();
    }
  };
  const std::unique_ptr<ServerTrustPolicyManager> manager = std::make_unique<Wildcard>();
  ASSERT_TRUE(manager->serverTrustPolicy("any.host"));
}

TEST(ServerTrustPolicyBundle, LoadsTheBundlesDERCertificates) {
  test::TempDir bundleFolder("qm-bundle");
  const std::string resources = bundleFolder.file("Resources");
  std::filesystem::create_directories(resources + "/nested");
  const auto copy = [&](const std::string& fixture, const std::string& as) {
    std::filesystem::copy_file(fixturesFolder() + "/" + fixture, resources + "/" + as);
  };
  copy("ca.der", "ca.cer");
  copy("localhost.der", "localhost.CRT");
  copy("wronghost.der", "wronghost.DER");
  copy("samekey.der", "samekey.crt");
  copy("selfsigned.der", "selfsigned.txt");       // not a certificate type
  copy("selfsigned.pem", "selfsigned-pem.cer");   // PEM text, not DER
  copy("selfsigned.der", "nested/selfsigned.der");  // not at the top level
  ASSERT_TRUE(test::writeFile(resources + "/broken.der", "not a certificate"));
  const foundation::Bundle bundle(bundleFolder.path(), resources, std::nullopt);

  const auto found = ServerTrustPolicy::certificates(bundle);
  std::vector<std::string> summaries;
  for (const auto& certificate : found) summaries.push_back(certificate.subjectSummary());
  std::sort(summaries.begin(), summaries.end());
  EXPECT_EQ(summaries, (std::vector<std::string>{"Quillmere Test CA", "localhost", "localhost", "wrong.example"}));

  const auto keys = ServerTrustPolicy::publicKeys(bundle);
  ASSERT_EQ(keys.size(), found.size());
  EXPECT_EQ(std::count(keys.begin(), keys.end(), keyOf("localhost")), 2);  // localhost and samekey share it
  EXPECT_EQ(std::count(keys.begin(), keys.end(), keyOf("selfsigned")), 0);

  // Loaded pins drive a policy end to end.
  security::setSystemRootsForTesting(std::vector<Certificate>{});
  EXPECT_TRUE(ServerTrustPolicy::pinCertificates(found, true, true).evaluate(serverTrust({"localhost"}), "localhost"));
  EXPECT_TRUE(ServerTrustPolicy::pinPublicKeys(keys, false, true).evaluate(serverTrust({"localhost"}), "localhost"));
  security::setSystemRootsForTesting(std::nullopt);
}

TEST(ServerTrustPolicyBundle, MainBundleIsTheDefault) {
  test::TempDir bundleFolder("qm-bundle");
  const std::string resources = bundleFolder.file("Resources");
  std::filesystem::create_directories(resources);
  std::filesystem::copy_file(fixturesFolder() + "/ca.der", resources + "/ca.cer");
  foundation::Bundle::setMainBundleForTesting(
      std::make_shared<const foundation::Bundle>(bundleFolder.path(), resources, std::nullopt));
  const auto found = ServerTrustPolicy::certificates();
  const auto keys = ServerTrustPolicy::publicKeys();
  foundation::Bundle::setMainBundleForTesting(nullptr);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_TRUE(found[0] == cert("ca"));
  ASSERT_EQ(keys.size(), 1u);
  EXPECT_TRUE(keys[0] == keyOf("ca"));
}

}  // namespace
