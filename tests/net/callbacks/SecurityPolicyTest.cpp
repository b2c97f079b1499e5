#include <gtest/gtest.h>

#include <filesystem>

#include "net/callbacks/RLArchivableClasses.h"
#include "net/callbacks/RLSecurityPolicy.h"
#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/KeyedUnarchiver.h"
#include "platform/foundation/Log.h"
#include "platform/net/URLError.h"
#include "platform/security/SystemRoots.h"
#include "tests/net/callbacks/CallbacksTestSupport.h"
#include "tests/platform/net/LoopbackServer.h"
#include "tests/platform/net/RecordingDelegate.h"
#include "tests/platform/security/SecurityFixtures.h"

using foundation::Value;
using security::Certificate;
using security::Trust;

namespace {

using test::securityFixture;

// "forged" is this folder's own: a localhost leaf naming the test CA as issuer, signed by another key.
std::string fixturePath(const std::string& file) {
  return file.rfind("forged", 0) == 0 ? std::string(QM_TEST_FIXTURES) + "/" + file : securityFixture(file);
}

foundation::Data der(const std::string& name) { return test::fixtureBytes(fixturePath(name + ".der")); }

std::shared_ptr<const foundation::Set> pins(const std::vector<std::string>& names) {
  std::vector<Value> contents;
  for (const auto& name : names) contents.emplace_back(der(name));
  return foundation::Set::make(contents);
}

// The trust a TLS handshake hands over: the presented chain, leaf first.
std::shared_ptr<Trust> serverTrust(const std::vector<std::string>& chain) {
  std::vector<Certificate> certificates;
  for (const auto& name : chain) certificates.push_back(*Certificate::createWithData(der(name)));
  return Trust::create(certificates, {security::Policy::createSSL(true, "localhost")});
}

std::shared_ptr<RLSecurityPolicy> policy(RLSSLPinningMode mode, const std::vector<std::string>& pinned,
                                         bool allowInvalid = false, bool validatesDomainName = true) {
  auto made = RLSecurityPolicy::policyWithPinningMode(mode, pins(pinned));
  made->setAllowInvalidCertificates(allowInvalid);
  made->setValidatesDomainName(validatesDomainName);
  return made;
}

// The test CA is the only root the platform trusts during these tests.
class SecurityPolicyTest : public testing::Test {
 protected:
  void SetUp() override {
    security::setSystemRootsForTesting(std::vector<Certificate>{*Certificate::createWithData(der("ca"))});
    RLRegisterArchivableClasses();
  }
  void TearDown() override { security::setSystemRootsForTesting(std::nullopt); }
};

struct Case {
  const char* name;
  std::shared_ptr<RLSecurityPolicy> policy;
  std::vector<std::string> chain;
  std::optional<std::string> domain;
  bool expected;
};

void expectAll(const std::vector<Case>& cases) {
  for (const auto& c : cases) {
    EXPECT_EQ(c.policy->evaluateServerTrust(serverTrust(c.chain), c.domain), c.expected) << c.name;
  }
}

TEST_F(SecurityPolicyTest, WithoutPinning) {
  const auto none = RLSecurityPolicy::defaultPolicy();
  EXPECT_TRUE(none->validatesDomainName());
  EXPECT_FALSE(none->allowInvalidCertificates());
  EXPECT_EQ(none->SSLPinningMode(), RLSSLPinningModeNone);
  EXPECT_FALSE(none->pinnedCertificates());
  std::vector<std::string> logged;
  auto previous = foundation::setLogSink([&](const std::string& line) { logged.push_back(line); });
  expectAll({
      {"valid chain for the host", none, {"localhost"}, "localhost", true},
      {"valid chain by address, CA sent along", none, {"localhost", "ca"}, "127.0.0.1", true},
      {"valid chain, another host", none, {"localhost"}, "example.org", false},
      {"another host without the name check", policy(RLSSLPinningModeNone, {}, false, false), {"localhost"},
       "example.org", true},
      {"leaf for another name", none, {"wronghost"}, "localhost", false},
      {"self-signed", none, {"selfsigned"}, "localhost", false},
      {"no domain: the chain alone", none, {"wronghost"}, std::nullopt, true},
      {"invalid allowed with a domain: refused without pinning", policy(RLSSLPinningModeNone, {}, true), {"localhost"},
       "localhost", false},
      {"invalid allowed, names not checked", policy(RLSSLPinningModeNone, {}, true, false), {"selfsigned"},
       "anything.example", true},
  });
  foundation::setLogSink(previous);
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_NE(logged[0].find("In order to validate a domain name for self signed certificates, you MUST use pinning."),
            std::string::npos);
  EXPECT_FALSE(none->evaluateServerTrust(nullptr, "localhost"));
}

TEST_F(SecurityPolicyTest, CertificatePinning) {
  const auto mode = RLSSLPinningModeCertificate;
  expectAll({
      {"root pinned", policy(mode, {"ca"}), {"localhost", "ca"}, "localhost", true},
      {"root pinned, server sends the leaf alone", policy(mode, {"ca"}), {"localhost"}, "127.0.0.1", true},
      {"leaf pinned", policy(mode, {"localhost"}), {"localhost"}, "localhost", true},
      {"only an unrelated certificate pinned", policy(mode, {"selfsigned"}), {"localhost", "ca"}, "localhost", false},
      {"same key, other certificate", policy(mode, {"samekey"}), {"localhost"}, "localhost", false},
      {"root pinned, wrong name", policy(mode, {"ca"}), {"wronghost", "ca"}, "localhost", false},
      {"self-signed pinned but invalid refused", policy(mode, {"selfsigned"}), {"selfsigned"}, "localhost", false},
      {"self-signed pinned, invalid allowed", policy(mode, {"selfsigned"}, true), {"selfsigned"}, "localhost", true},
      {"pinned leaf appended to a self-signed chain", policy(mode, {"localhost"}, true), {"selfsigned", "localhost"},
       "localhost", false},
      {"root pinned above a forged leaf", policy(mode, {"ca"}, true), {"forged", "ca"}, "localhost", false},
      {"a pin that is no certificate", policy(mode, {}, true), {"selfsigned"}, std::nullopt, false},
  });
  auto junk = RLSecurityPolicy::policyWithPinningMode(mode, foundation::Set::make({Value(foundation::Data{1, 2, 3})}));
  EXPECT_FALSE(junk->evaluateServerTrust(serverTrust({"localhost"}), "localhost"));
}

TEST_F(SecurityPolicyTest, PublicKeyPinning) {
  const auto mode = RLSSLPinningModePublicKey;
  expectAll({
      {"leaf key pinned through another certificate", policy(mode, {"samekey"}), {"localhost"}, "localhost", true},
      {"CA key on the trusted chain", policy(mode, {"ca"}), {"localhost"}, "localhost", true},
      {"unrelated key", policy(mode, {"wronghost"}), {"localhost"}, "localhost", false},
      {"key matches but the name does not", policy(mode, {"localhost"}), {"localhost"}, "example.org", false},
      {"key matches, name not checked", policy(mode, {"localhost"}, false, false), {"localhost"}, "example.org", true},
      {"self-signed key pinned but invalid refused", policy(mode, {"selfsigned"}), {"selfsigned"}, "localhost", false},
      {"self-signed key pinned, invalid allowed", policy(mode, {"selfsigned"}, true), {"selfsigned"}, "localhost", true},
      // A pinned certificate is public: appended to an untrusted chain it proves nothing.
      {"pinned certificate appended to an untrusted chain", policy(mode, {"localhost"}, true),
       {"selfsigned", "localhost"}, "localhost", false},
      {"CA key above an untrusted leaf", policy(mode, {"ca"}, true), {"selfsigned", "ca"}, "localhost", false},
      // The forged leaf's path runs to the real CA but fails its signature: the CA's key is on
      // the chain, yet nothing of it vouches for the leaf.
      {"CA key above a forged leaf", policy(mode, {"ca"}, true), {"forged", "ca"}, "localhost", false},
      {"forged leaf's own key", policy(mode, {"forged"}, true), {"forged", "ca"}, "localhost", true},
      {"no pinned keys", policy(mode, {}, true), {"selfsigned"}, std::nullopt, false},
  });
}

TEST_F(SecurityPolicyTest, PinnedKeysFollowThePinnedCertificates) {
  auto pinned = RLSecurityPolicy::defaultPolicy();
  std::vector<std::string> changed;
  const auto token = pinned->observing().addObserver("pinnedPublicKeys", [&](const Value& before, const Value& after) {
    changed.push_back(std::to_string(before.arrayValue().size()) + "->" + std::to_string(after.arrayValue().size()));
  });
  pinned->setPinnedCertificates(pins({"localhost", "samekey", "ca"}));
  ASSERT_TRUE(pinned->pinnedPublicKeys());
  EXPECT_EQ(pinned->pinnedPublicKeys()->size(), 2u);  // localhost and samekey share one key
  pinned->setPinnedCertificates(foundation::Set::make({Value(foundation::Data{1, 2, 3})}));
  ASSERT_TRUE(pinned->pinnedPublicKeys());
  EXPECT_TRUE(pinned->pinnedPublicKeys()->empty());
  pinned->setPinnedCertificates(nullptr);
  EXPECT_FALSE(pinned->pinnedPublicKeys());
  pinned->observing().removeObserver(token);
  EXPECT_EQ(changed, (std::vector<std::string>{"0->2", "2->0", "0->0"}));
  EXPECT_EQ(RLSecurityPolicy::keyPathsForValuesAffectingPinnedPublicKeys(), std::vector<std::string>{"pinnedCertificates"});
}

TEST_F(SecurityPolicyTest, CertificatesFromTheBundle) {
  test::TempDir bundleDir;
  std::filesystem::create_directories(bundleDir.file("Resources/nested"));
  const auto write = [&](const std::string& name, const foundation::Data& bytes) {
    ASSERT_TRUE(test::writeFile(bundleDir.file("Resources/" + name), std::string(bytes.begin(), bytes.end())));
  };
  write("server.cer", der("localhost"));
  write("root.cer", der("ca"));
  write("junk.cer", {'n', 'o'});
  write("other.der", der("wronghost"));
  write("nested/deep.cer", der("selfsigned"));
  const auto bundle = foundation::Bundle::bundleWithPath(bundleDir.path());
  ASSERT_TRUE(bundle);
  const auto found = RLSecurityPolicy::certificatesInBundle(*bundle);
  ASSERT_TRUE(found);
  EXPECT_EQ(found->count(), 3u);  // the top-level ".cer" files, whatever they hold
  EXPECT_TRUE(found->contains(Value(der("localhost"))));
  EXPECT_TRUE(found->contains(Value(der("ca"))));

  // The default pins are the main bundle's, read once.
  foundation::Bundle::setMainBundleForTesting(bundle);
  const auto pinned = RLSecurityPolicy::policyWithPinningMode(RLSSLPinningModeCertificate);
  foundation::Bundle::setMainBundleForTesting(nullptr);
  EXPECT_TRUE(pinned->pinnedCertificates()->isEqual(*found));
  EXPECT_TRUE(pinned->evaluateServerTrust(serverTrust({"localhost"}), "localhost"));
}

// What a policy archived without the domain-name key looks like.
struct PolicyWithoutDomainKey : foundation::Coding {
  void encodeWithCoder(foundation::KeyedArchiver& coder) const override {
    coder.encodeObject(Value(2ull), "SSLPinningMode");
    coder.encodeBool(true, "allowInvalidCertificates");
    coder.encodeObject(Value(std::static_pointer_cast<foundation::Object>(std::const_pointer_cast<foundation::Set>(pins({"ca"})))),
                       "pinnedCertificates");
  }
};

TEST_F(SecurityPolicyTest, ArchivingAndCopying) {
  auto original = policy(RLSSLPinningModePublicKey, {"samekey", "ca"}, true, false);
  const auto data = foundation::KeyedArchiver::archivedDataWithRootObject(original);
  ASSERT_TRUE(data);
  const auto decoded = foundation::KeyedUnarchiver::unarchivedObjectOfClass<RLSecurityPolicy>(*data);
  const auto copied = original->copy();
  for (const auto& other : {decoded, copied}) {
    ASSERT_TRUE(other);
    EXPECT_NE(other, original);
    EXPECT_EQ(other->SSLPinningMode(), RLSSLPinningModePublicKey);
    EXPECT_TRUE(other->allowInvalidCertificates());
    EXPECT_FALSE(other->validatesDomainName());
    EXPECT_TRUE(other->pinnedCertificates()->isEqual(*original->pinnedCertificates()));
    EXPECT_EQ(other->pinnedPublicKeys(), original->pinnedPublicKeys());  // recomputed, not archived
    EXPECT_TRUE(other->evaluateServerTrust(serverTrust({"localhost"}), "localhost"));
  }

  // An archive without "validatesDomainName" keeps the name check on, as a new policy has it.
  using foundation::CodingRegistry;
  CodingRegistry::unregisterClass("RLSecurityPolicy");
  ASSERT_TRUE(CodingRegistry::registerClass(typeid(PolicyWithoutDomainKey),
                                            {"RLSecurityPolicy", "", true, [](foundation::KeyedUnarchiver&) { return nullptr; }}));
  const auto old = foundation::KeyedArchiver::archivedDataWithRootObject(std::make_shared<PolicyWithoutDomainKey>());
  CodingRegistry::unregisterClass("RLSecurityPolicy");
  RLRegisterArchivableClasses();
  ASSERT_TRUE(old);
  const auto upgraded = foundation::KeyedUnarchiver::unarchivedObjectOfClass<RLSecurityPolicy>(*old);
  ASSERT_TRUE(upgraded);
  EXPECT_EQ(upgraded->SSLPinningMode(), RLSSLPinningModeCertificate);
  EXPECT_TRUE(upgraded->allowInvalidCertificates());
  EXPECT_TRUE(upgraded->validatesDomainName());
  EXPECT_FALSE(upgraded->evaluateServerTrust(serverTrust({"localhost", "ca"}), "example.org"));
  EXPECT_TRUE(upgraded->evaluateServerTrust(serverTrust({"localhost", "ca"}), "localhost"));
}

// The policy answering real handshakes with HTTPS servers on 127.0.0.1, as a session manager
// answers server-trust challenges: yes uses the trust's credential, no cancels.
class SecurityPolicyLoopbackTest : public SecurityPolicyTest {
 protected:
  struct Server {
    test::LoopbackServer server;
    Server(const std::string& chainPEM, const std::string& keyPEM) : server(chainPEM, keyPEM) {
      server.routes().Get("/", [](const httplib::Request&, httplib::Response& res) { res.set_content("secure", "text/plain"); });
      server.start();
    }
  };

  // The HTTP error code of loading `server` under `policy` (0 for success with the body).
  long load(Server& server, const std::shared_ptr<RLSecurityPolicy>& policy) {
    test::SessionFixture f;
    f.delegate->onChallenge = [&](const net::URLAuthenticationChallenge& challenge, net::ChallengeCompletion done) {
      const auto& space = challenge.protectionSpace();
      if (policy->evaluateServerTrust(space.serverTrust(), space.host())) {
        done(net::URLSessionAuthChallengeDisposition::UseCredential, net::URLCredential::forTrust(space.serverTrust()));
      } else {
        done(net::URLSessionAuthChallengeDisposition::CancelAuthenticationChallenge, nullptr);
      }
    };
    f.session->dataTask(net::URLRequest(*net::URL::fromString(server.server.url("/"))))->resume();
    EXPECT_TRUE(f.delegate->waitForCompletion());
    if (f.delegate->error) return f.delegate->error->code();
    EXPECT_EQ(f.delegate->bodyText(), "secure");
    return 0;
  }
};

TEST_F(SecurityPolicyLoopbackTest, EveryModeAgainstRealHandshakes) {
  test::TempDir dir;
  // A self-signed server that appends the public, pinned localhost certificate to its chain.
  ASSERT_TRUE(test::writeFile(dir.file("appended.pem"), test::readFile(securityFixture("selfsigned.pem")) +
                                                            test::readFile(securityFixture("localhost.pem"))));
  Server good(securityFixture("localhost.pem"), securityFixture("localhost-key.pem"));
  Server wrongHost(securityFixture("wronghost.pem"), securityFixture("wronghost-key.pem"));
  Server selfSigned(securityFixture("selfsigned.pem"), securityFixture("selfsigned-key.pem"));
  Server appended(dir.file("appended.pem"), securityFixture("selfsigned-key.pem"));
  // A leaf naming the test CA as issuer without its signature, sent with the CA.
  ASSERT_TRUE(test::writeFile(dir.file("forged-chain.pem"), test::readFile(fixturePath("forged.pem")) +
                                                                test::readFile(securityFixture("ca.pem"))));
  Server forged(dir.file("forged-chain.pem"), fixturePath("forged-key.pem"));

  const long refused = net::URLErrorCancelled;
  struct LoadCase {
    const char* name;
    Server& server;
    std::shared_ptr<RLSecurityPolicy> policy;
    long error;
  } cases[] = {
      {"default, trusted server", good, RLSecurityPolicy::defaultPolicy(), 0},
      {"default, wrong host", wrongHost, RLSecurityPolicy::defaultPolicy(), refused},
      {"default, self-signed", selfSigned, RLSecurityPolicy::defaultPolicy(), refused},
      {"certificate pin on the CA", good, policy(RLSSLPinningModeCertificate, {"ca"}), 0},
      {"certificate pin, unrelated", good, policy(RLSSLPinningModeCertificate, {"selfsigned"}), refused},
      {"certificate pin on a self-signed server", selfSigned, policy(RLSSLPinningModeCertificate, {"selfsigned"}, true), 0},
      {"key pin through the same-key certificate", good, policy(RLSSLPinningModePublicKey, {"samekey"}), 0},
      {"key pin on a self-signed server", selfSigned, policy(RLSSLPinningModePublicKey, {"selfsigned"}, true), 0},
      {"key pin, pinned certificate appended", appended, policy(RLSSLPinningModePublicKey, {"localhost"}, true), refused},
      {"certificate pin, pinned certificate appended", appended, policy(RLSSLPinningModeCertificate, {"localhost"}, true),
       refused},
      {"key pin on the CA, forged leaf", forged, policy(RLSSLPinningModePublicKey, {"ca"}, true), refused},
      {"key pin on the CA, genuine leaf", good, policy(RLSSLPinningModePublicKey, {"ca"}, true), 0},
  };
  for (auto& c : cases) EXPECT_EQ(load(c.server, c.policy), c.error) << c.name;
}

}  // namespace
