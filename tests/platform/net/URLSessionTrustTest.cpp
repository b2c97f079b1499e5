// The server-trust challenge raised inside the TLS handshake, against HTTPS servers on
// 127.0.0.1 presenting the test fixtures' certificates.
#include <gtest/gtest.h>

#include "platform/net/URLError.h"
#include "platform/security/SystemRoots.h"
#include "platform/security/Trust.h"
#include "tests/platform/net/LoopbackServer.h"
#include "tests/platform/net/RecordingDelegate.h"
#include "tests/support/TempDir.h"

using net::URLSessionAuthChallengeDisposition;
using Disposition = net::URLSessionAuthChallengeDisposition;

namespace {

// The security stand-in's fixtures, beside this folder's (which has none of its own).
std::string fixture(const std::string& name) {
  std::string here = QM_TEST_FIXTURES;  // .../tests/platform/net/fixtures
  return here.substr(0, here.rfind("/net/fixtures")) + "/security/fixtures/" + name;
}

// Roots for the duration of a test: the test CA only, so nothing depends on the machine's store.
struct TestRoots {
  explicit TestRoots(bool withCA) {
    std::vector<security::Certificate> roots;
    if (withCA) roots = security::Certificate::createAllWithPEM(test::readFile(fixture("ca.pem")));
    security::setSystemRootsForTesting(roots);
  }
  ~TestRoots() { security::setSystemRootsForTesting(std::nullopt); }
};

// An HTTPS server on 127.0.0.1 presenting `leaf` (with `key`), answering "secure" at /.
struct TLSServer {
  test::LoopbackServer server;
  TLSServer(const std::string& leaf, const std::string& key) : server(leaf, key) {
    server.routes().Get("/", [](const httplib::Request&, httplib::Response& res) { res.set_content("secure", "text/plain"); });
    server.start();
  }
};

struct Outcome {
  std::string body;
  long error = 0;
  std::vector<std::string> events;
};

Outcome load(const std::string& url, std::function<void(test::RecordingDelegate&)> script = {}) {
  test::SessionFixture f;
  if (script) script(*f.delegate);
  f.session->dataTask(net::URLRequest(*net::URL::fromString(url)))->resume();
  EXPECT_TRUE(f.delegate->waitForCompletion());
  return {f.delegate->bodyText(), f.delegate->error ? f.delegate->error->code() : 0, f.delegate->eventsSnapshot()};
}

}  // namespace

TEST(URLSessionTrustTest, DefaultHandlingVerifiesTheChainAndTheHostName) {
  TestRoots roots(true);
  TLSServer good(fixture("localhost.pem"), fixture("localhost-key.pem"));
  TLSServer wrongHost(fixture("wronghost.pem"), fixture("wronghost-key.pem"));
  TLSServer selfSigned(fixture("selfsigned.pem"), fixture("selfsigned-key.pem"));
  struct Case { std::string url; long error; };
  for (const Case& c : {Case{good.server.url("/"), 0}, Case{good.server.localhostURL("/"), 0},
                        Case{wrongHost.server.url("/"), net::URLErrorServerCertificateUntrusted},
                        Case{selfSigned.server.url("/"), net::URLErrorServerCertificateUntrusted}}) {
    Outcome outcome = load(c.url);
    EXPECT_EQ(outcome.error, c.error) << c.url;
    EXPECT_EQ(outcome.body, c.error ? "" : "secure") << c.url;
  }
}

TEST(URLSessionTrustTest, WithoutTheTestRootNothingIsTrustedByDefault) {
  TestRoots roots(false);
  TLSServer good(fixture("localhost.pem"), fixture("localhost-key.pem"));
  EXPECT_EQ(load(good.server.url("/")).error, net::URLErrorServerCertificateUntrusted);
}

TEST(URLSessionTrustTest, TheDelegateAnswersTheChallengeInsideTheHandshake) {
  TestRoots roots(true);
  TLSServer selfSigned(fixture("selfsigned.pem"), fixture("selfsigned-key.pem"));
  TLSServer good(fixture("localhost.pem"), fixture("localhost-key.pem"));

  // Accepting the presented trust lets a self-signed server through.
  std::shared_ptr<security::Trust> seen;
  std::string host;
  Outcome accepted = load(selfSigned.server.url("/"), [&](test::RecordingDelegate& d) {
    d.onChallenge = [&](const net::URLAuthenticationChallenge& c, net::ChallengeCompletion done) {
      seen = c.protectionSpace().serverTrust();
      host = c.protectionSpace().host();
      EXPECT_EQ(c.protectionSpace().authenticationMethod(), net::kURLAuthenticationMethodServerTrust);
      EXPECT_EQ(c.previousFailureCount(), 0);
      done(Disposition::UseCredential, net::URLCredential::forTrust(c.protectionSpace().serverTrust()));
    };
  });
  EXPECT_EQ(accepted.error, 0);
  EXPECT_EQ(accepted.body, "secure");
  ASSERT_TRUE(seen);
  EXPECT_EQ(host, "127.0.0.1");
  ASSERT_EQ(seen->certificateCount(), 1u);
  EXPECT_EQ(seen->certificateAtIndex(0)->data(), security::Certificate::createWithPEM(test::readFile(fixture("selfsigned.pem")))->data());

  struct Case { const char* name; Disposition disposition; bool trustedServer; long error; };
  for (auto c : {Case{"default on untrusted", Disposition::PerformDefaultHandling, false, net::URLErrorServerCertificateUntrusted},
                 Case{"reject on untrusted", Disposition::RejectProtectionSpace, false, net::URLErrorServerCertificateUntrusted},
                 Case{"no credential on untrusted", Disposition::UseCredential, false, net::URLErrorServerCertificateUntrusted},
                 Case{"cancel on trusted", Disposition::CancelAuthenticationChallenge, true, net::URLErrorCancelled},
                 Case{"default on trusted", Disposition::PerformDefaultHandling, true, 0}}) {
    Outcome outcome = load((c.trustedServer ? good : selfSigned).server.url("/"), [&](test::RecordingDelegate& d) {
      d.onChallenge = [&](const net::URLAuthenticationChallenge&, net::ChallengeCompletion done) { done(c.disposition, nullptr); };
    });
    EXPECT_EQ(outcome.error, c.error) << c.name;
  }
}

TEST(URLSessionTrustTest, SessionLevelChallengeAnswersWhenTheTaskLevelOneIsMissing) {
  TestRoots roots(true);
  TLSServer selfSigned(fixture("selfsigned.pem"), fixture("selfsigned-key.pem"));
  Outcome outcome = load(selfSigned.server.url("/"), [&](test::RecordingDelegate& d) {
    d.onSessionChallenge = [](const net::URLAuthenticationChallenge& c, net::ChallengeCompletion done) {
      done(Disposition::UseCredential, net::URLCredential::forTrust(c.protectionSpace().serverTrust()));
    };
  });
  EXPECT_EQ(outcome.error, 0);
  EXPECT_EQ(outcome.events.front(), "session-challenge");
}

TEST(URLSessionTrustTest, ThePresentedChainReachesTheTrust) {
  TestRoots roots(false);
  test::TempDir dir;
  ASSERT_TRUE(test::writeFile(dir.file("chain.pem"), test::readFile(fixture("localhost.pem")) + test::readFile(fixture("ca.pem"))));
  TLSServer chained(dir.file("chain.pem"), fixture("localhost-key.pem"));
  std::size_t presented = 0;
  Outcome outcome = load(chained.server.url("/"), [&](test::RecordingDelegate& d) {
    d.onChallenge = [&](const net::URLAuthenticationChallenge& c, net::ChallengeCompletion done) {
      presented = c.protectionSpace().serverTrust()->certificateCount();
      // Pin the CA as the only anchor: the chain the server sent must lead to it.
      auto trust = c.protectionSpace().serverTrust();
      trust->setAnchorCertificates(security::Certificate::createAllWithPEM(test::readFile(fixture("ca.pem"))));
      security::TrustResult result;
      trust->evaluate(result);
      done(result == security::TrustResult::Unspecified ? Disposition::UseCredential : Disposition::CancelAuthenticationChallenge,
           net::URLCredential::forTrust(trust));
    };
  });
  EXPECT_EQ(presented, 2u);
  EXPECT_EQ(outcome.error, 0);
  EXPECT_EQ(outcome.body, "secure");
}
