// The HTTP session manager against loopback HTTP and HTTPS servers: base URLs, every method as
// the server receives it, the application's newsletter form and feedback JSON posts, progress,
// each way of failing, the security policy check, archiving and copying.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "net/callbacks/RLJSONRequestSerializer.h"
#include "net/callbacks/RLJSONResponseSerializer.h"
#include "platform/foundation/JSONSerialization.h"
#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/KeyedUnarchiver.h"
#include "platform/net/URLError.h"
#include "platform/security/SystemRoots.h"
#include "tests/net/callbacks/SessionManagerTestSupport.h"
#include "tests/platform/security/SecurityFixtures.h"

// The test server's library brings in <arpa/nameser.h>, whose DELETE macro would rename the
// manager's operation here.
#undef DELETE

namespace {

using foundation::Dictionary;
using foundation::Value;
using test::Outcome;

class HTTPSessionManagerTest : public testing::Test {
 protected:
  // Managers made by a test, ended with it.
  std::shared_ptr<RLHTTPSessionManager> make(std::optional<std::string> baseURL = std::nullopt) {
    auto made = RLHTTPSessionManager::create(baseURL ? net::URL::fromString(*baseURL) : std::nullopt);
    ends.push_back(std::make_unique<test::ManagerEnd>(made));
    return made;
  }

  test::RecordingServer server;
  std::vector<std::unique_ptr<test::ManagerEnd>> ends;
};

TEST_F(HTTPSessionManagerTest, BaseURLsGainATrailingSlashWhenTheyHaveAPath) {
  struct Case {
    std::optional<std::string> base;
    std::optional<std::string> stored;
    std::string relative;
    std::string resolved;
  } cases[] = {
      {std::nullopt, std::nullopt, "http://127.0.0.1:1/x?y=1", "http://127.0.0.1:1/x?y=1"},
      {"http://127.0.0.1:1", "http://127.0.0.1:1", "users", "http://127.0.0.1:1/users"},
      {"http://127.0.0.1:1/", "http://127.0.0.1:1/", "users", "http://127.0.0.1:1/users"},
      {"http://127.0.0.1:1/api", "http://127.0.0.1:1/api/", "users", "http://127.0.0.1:1/api/users"},
      {"http://127.0.0.1:1/api/v2/", "http://127.0.0.1:1/api/v2/", "/root", "http://127.0.0.1:1/root"},
      {"http://127.0.0.1:1/api", "http://127.0.0.1:1/api/", "https://example.org/a", "https://example.org/a"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.base.value_or("no base"));
    auto manager = make(c.base);
    const auto stored = manager->baseURL();
    EXPECT_EQ(stored ? std::optional(stored->absoluteString()) : std::nullopt, c.stored);
    auto task = manager->dataTaskWithHTTPMethod("GET", c.relative, Value(), nullptr, nullptr, nullptr, nullptr);
    ASSERT_TRUE(task);
    EXPECT_EQ(task->originalRequest()->url()->absoluteString(), c.resolved);
    // Not resumed: nothing has started.
    EXPECT_EQ(task->state(), net::URLSessionTaskState::Suspended);
  }
  EXPECT_FALSE(RLHTTPSessionManager::manager()->baseURL());
}

TEST_F(HTTPSessionManagerTest, EveryMethodReachesTheServerAndEndsInSuccessOnce) {
  auto manager = make(server.url("/"));
  const Value parameters(Dictionary{{"b", "two words"}, {"a", 1}});
  using M = RLHTTPSessionManager;
  struct Case {
    const char* method;
    std::function<net::DataTaskPtr(Outcome&)> send;
    std::string query;
    std::string body;
  } cases[] = {
      {"GET", [&](Outcome& o) { return manager->GET("json", parameters, o.success(), o.failure()); }, "a=1&b=two%20words", ""},
      {"HEAD",
       [&](Outcome& o) {
         auto success = o.success();
         return manager->HEAD("json", parameters, [success](const M::DataTaskPtr& t) { success(t, Value()); },
                              o.failure());
       },
       "a=1&b=two%20words", ""},
      {"POST", [&](Outcome& o) { return manager->POST("json", parameters, o.success(), o.failure()); }, "", "a=1&b=two%20words"},
      {"PUT", [&](Outcome& o) { return manager->PUT("json", parameters, o.success(), o.failure()); }, "", "a=1&b=two%20words"},
      {"PATCH", [&](Outcome& o) { return manager->PATCH("json", parameters, o.success(), o.failure()); }, "", "a=1&b=two%20words"},
      {"DELETE", [&](Outcome& o) { return manager->DELETE("json", parameters, o.success(), o.failure()); }, "a=1&b=two%20words", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.method);
    Outcome outcome;
    const auto task = c.send(outcome);
    ASSERT_TRUE(task);
    ASSERT_TRUE(test::waitForOutcome(outcome));
    EXPECT_EQ(outcome.calls, 1);
    EXPECT_EQ(outcome.successes, 1);
    EXPECT_TRUE(outcome.onMainThread);
    EXPECT_EQ(outcome.task, task);
    const std::string method = c.method;
    // HEAD's success block gets no object, whatever the serializer made.
    if (method != "HEAD") {
      EXPECT_EQ(outcome.object, Value(Dictionary{{"ok", true}}));
    }
    const auto seen = server.last();
    ASSERT_TRUE(seen);
    EXPECT_EQ(seen->method, c.method);
    EXPECT_EQ(seen->path, "/json");
    EXPECT_EQ(seen->query, c.query);
    EXPECT_EQ(seen->body, c.body);
    if (!c.body.empty()) {
      EXPECT_EQ(seen->contentType, "application/x-www-form-urlencoded");
    }
    EXPECT_FALSE(manager->delegateForTask(task));
  }
}

TEST_F(HTTPSessionManagerTest, TheNewsletterFormAndTheFeedbackJSONArriveAsSent) {
  // The newsletter window: a form POST whose reply is read as it stands.
  auto newsletter = make();
  newsletter->setResponseSerializer(RLHTTPResponseSerializer::serializer());
  Outcome subscribed;
  newsletter->POST(server.url("/json"),
                   Value(Dictionary{{"list", "Rk42mTzqW9Lp3VbXa7HcNe5Ud8"}, {"email", "someone@example.org"}, {"boolean", "true"}}),
                   RLProgressBlock(), subscribed.success(), subscribed.failure());
  ASSERT_TRUE(test::waitForOutcome(subscribed));
  EXPECT_EQ(subscribed.successes, 1);
  EXPECT_EQ(test::text(subscribed.object.dataValue()), "{\"ok\":true}");
  auto seen = server.last();
  EXPECT_EQ(seen->body, "boolean=true&email=someone%40example.org&list=Rk42mTzqW9Lp3VbXa7HcNe5Ud8");
  EXPECT_EQ(seen->contentType, "application/x-www-form-urlencoded");

  // The feedback window: a JSON POST with its Content-Type set by hand.
  auto feedback = make();
  auto json = RLJSONRequestSerializer::serializer();
  json->setValue("application/json", "Content-Type");
  feedback->setRequestSerializer(json);
  const Value report(Dictionary{{"appname", "Quillmere"}, {"appstore", "0"}, {"email", ""}, {"type", "bug"},
                                {"message", "What did you expect to happen?\nquiet\n\nWhat steps will reproduce the problem?\n\u00e9t\u00e9"},
                                {"critical", "1"}});
  Outcome sent;
  feedback->POST(server.url("/json"), report, RLProgressBlock(), sent.success(), sent.failure());
  ASSERT_TRUE(test::waitForOutcome(sent));
  EXPECT_EQ(sent.successes, 1);
  seen = server.last();
  EXPECT_EQ(seen->contentType, "application/json");
  EXPECT_EQ(foundation::JSONSerialization::JSONObjectWithData(test::bytes(seen->body)), report);
}

TEST_F(HTTPSessionManagerTest, AMultipartPostStreamsItsPartsWithUploadProgress) {
  auto manager = make(server.url("/"));
  std::int64_t sent = 0;
  Outcome outcome;
  const auto task = manager->POST(
      "json", Value(Dictionary{{"title", "hosts"}}),
      [](RLMultipartFormData& form) {
        form.appendPartWithFileData(test::bytes("127.0.0.1 localhost\n"), "file", "hosts.txt", "text/plain");
      },
      [&](const std::shared_ptr<foundation::Progress>& progress) { sent = progress->completedUnitCount(); },
      outcome.success(), outcome.failure());
  ASSERT_TRUE(task);
  EXPECT_EQ(task->kind(), net::URLSessionTask::Kind::Upload);
  ASSERT_TRUE(test::waitForOutcome(outcome));
  EXPECT_EQ(outcome.successes, 1);
  const auto seen = server.last();
  EXPECT_THAT(seen->contentType, testing::StartsWith("multipart/form-data; boundary="));
  EXPECT_EQ(seen->parts, (std::vector<std::string>{"file|hosts.txt|text/plain|127.0.0.1 localhost\n", "title|||hosts"}));
  EXPECT_EQ(sent, std::stoll(task->originalRequest()->valueForHTTPHeaderField("Content-Length").value_or("0")));
}

TEST_F(HTTPSessionManagerTest, PostProgressFollowsTheUploadAndGetProgressTheDownload) {
  auto manager = make(server.url("/"));
  manager->setResponseSerializer(RLHTTPResponseSerializer::serializer());
  const std::string body = test::patternBody(300 * 1024);
  std::int64_t uploaded = 0, downloaded = 0;
  Outcome post, get;
  manager->POST("json", Value(Dictionary{{"blob", body}}),
                [&](const std::shared_ptr<foundation::Progress>& p) { uploaded = p->completedUnitCount(); },
                post.success(), post.failure());
  manager->GET("big", Value(), [&](const std::shared_ptr<foundation::Progress>& p) { downloaded = p->completedUnitCount(); },
               get.success(), get.failure());
  ASSERT_TRUE(test::waitForOutcome(post));
  ASSERT_TRUE(test::waitForOutcome(get));
  EXPECT_EQ(uploaded, static_cast<std::int64_t>(std::string("blob=").size() + body.size()));
  EXPECT_EQ(downloaded, static_cast<std::int64_t>(server.big().size()));
  EXPECT_TRUE(get.object.dataValue() == test::bytes(server.big()));
}

TEST_F(HTTPSessionManagerTest, EachFailureReachesTheFailureBlockOnceOnTheMainQueue) {
  security::setSystemRootsForTesting(std::vector<security::Certificate>{
      test::fixtureCertificate(test::securityFixture(""), "ca")});
  test::RecordingServer secure(true);
  test::LoopbackServer selfSigned(test::securityFixture("selfsigned.pem"), test::securityFixture("selfsigned-key.pem"));
  selfSigned.routes().Get("/json", [](const httplib::Request&, httplib::Response& res) {
    res.set_content("{}", "application/json");
  });
  selfSigned.start();
  int closedPort;
  {
    test::LoopbackServer gone;
    gone.start();
    closedPort = gone.port();
  }
  auto jsonRequests = make();
  jsonRequests->setRequestSerializer(RLJSONRequestSerializer::serializer());

  struct Case {
    const char* name;
    std::shared_ptr<RLHTTPSessionManager> manager;
    std::string url;
    Value parameters;
    std::string domain;  // empty: success
    long code;
    bool task;
  } cases[] = {
      {"trusted HTTPS", make(), secure.url("/json"), Value(), "", 0, true},
      {"relative path without base URL", make(), "json", Value(), foundation::kURLErrorDomain, net::URLErrorBadURL, true},
      {"unreachable host", make(), "http://127.0.0.1:" + std::to_string(closedPort) + "/json", Value(),
       foundation::kURLErrorDomain, net::URLErrorCannotConnectToHost, true},
      {"refused by the trust policy", make(), selfSigned.url("/json"), Value(), foundation::kURLErrorDomain,
       net::URLErrorCancelled, true},
      {"status refused by the serializer", make(), server.url("/missing"), Value(), RLURLResponseSerializationErrorDomain,
       -1011, true},
      {"parameters the request serializer cannot write", jsonRequests, server.url("/json"),
       Value(Dictionary{{"bytes", foundation::Data{1, 2}}}), RLURLRequestSerializationErrorDomain,
       RLRequestSerializationErrorCannotWriteParameters, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Outcome outcome;
    const auto method = std::string(c.name) == "parameters the request serializer cannot write" ? "POST" : "GET";
    auto task = c.manager->dataTaskWithHTTPMethod(method, c.url, c.parameters, nullptr, nullptr, outcome.success(),
                                                  outcome.failure());
    EXPECT_EQ(task != nullptr, c.task);
    if (task) task->resume();
    // Even the failure without a task is never run inside the call.
    EXPECT_EQ(outcome.count(), 0);
    ASSERT_TRUE(test::waitForOutcome(outcome));
    EXPECT_EQ(outcome.calls, 1);
    EXPECT_TRUE(outcome.onMainThread);
    EXPECT_EQ(outcome.task, task);
    if (c.domain.empty()) {
      EXPECT_EQ(outcome.successes, 1);
      continue;
    }
    ASSERT_EQ(outcome.failures, 1);
    EXPECT_EQ(outcome.error->domain(), c.domain);
    EXPECT_EQ(outcome.error->code(), c.code);
    if (task) {
      EXPECT_FALSE(c.manager->delegateForTask(task));
    }
  }
  security::setSystemRootsForTesting(std::nullopt);
}

TEST_F(HTTPSessionManagerTest, APinningPolicyNeedsAnHTTPSBaseURL) {
  const auto pinned = [](RLSSLPinningMode mode) {
    return RLSecurityPolicy::policyWithPinningMode(mode, foundation::Set::make({}));
  };
  struct Case {
    std::optional<std::string> base;
    RLSSLPinningMode mode;
    std::string refusedWith;  // empty: accepted
  } cases[] = {
      {std::nullopt, RLSSLPinningModePublicKey, "RLSSLPinningModePublicKey"},
      {"http://127.0.0.1/", RLSSLPinningModeCertificate, "RLSSLPinningModeCertificate"},
      {"https://127.0.0.1/", RLSSLPinningModeCertificate, ""},
      {std::nullopt, RLSSLPinningModeNone, ""},
  };
  for (const auto& c : cases) {
    auto manager = make(c.base);
    const auto before = manager->securityPolicy();
    const auto policy = pinned(c.mode);
    if (c.refusedWith.empty()) {
      EXPECT_NO_THROW(manager->setSecurityPolicy(policy));
      EXPECT_EQ(manager->securityPolicy(), policy);
      continue;
    }
    try {
      manager->setSecurityPolicy(policy);
      ADD_FAILURE() << "accepted " << c.refusedWith;
    } catch (const RLInvalidSecurityPolicyException& refused) {
      EXPECT_STREQ(RLInvalidSecurityPolicyException::name(), "Invalid Security Policy");
      EXPECT_EQ(std::string(refused.what()), "A security policy configured with `" + c.refusedWith +
                                                 "` can only be applied on a manager with a secure base URL (i.e. https)");
    }
    EXPECT_EQ(manager->securityPolicy(), before);
  }
}

TEST_F(HTTPSessionManagerTest, ArchivingAndCopyingCarryBaseURLSerializersAndPolicy) {
  auto original = make("https://127.0.0.1/api");
  auto json = RLJSONRequestSerializer::serializer();
  json->setValue("token", "X-Token");
  original->setRequestSerializer(json);
  auto response = RLHTTPResponseSerializer::serializer();
  response->setAcceptableContentTypes(std::set<std::string>{"text/plain"});
  original->setResponseSerializer(response);
  original->setSecurityPolicy(RLSecurityPolicy::policyWithPinningMode(RLSSLPinningModeCertificate, foundation::Set::make({})));

  foundation::Error error;
  const auto data = foundation::KeyedArchiver::archivedDataWithRootObject(original, &error);
  ASSERT_TRUE(data) << error.description();
  auto decoded = foundation::KeyedUnarchiver::unarchivedObjectOfClass<RLHTTPSessionManager>(*data, &error);
  ASSERT_TRUE(decoded) << error.description();
  ends.push_back(std::make_unique<test::ManagerEnd>(decoded));
  auto copied = std::dynamic_pointer_cast<RLHTTPSessionManager>(original->copy());
  ASSERT_TRUE(copied);
  ends.push_back(std::make_unique<test::ManagerEnd>(copied));

  for (const auto& made : {decoded, copied}) {
    EXPECT_EQ(made->baseURL()->absoluteString(), "https://127.0.0.1/api/");
    EXPECT_NE(made->session(), original->session());
    auto request = std::dynamic_pointer_cast<RLJSONRequestSerializer>(made->requestSerializer());
    ASSERT_TRUE(request);
    EXPECT_NE(request, json);
    EXPECT_EQ(request->valueForHTTPHeaderField("X-Token"), "token");
    auto responseCopy = std::dynamic_pointer_cast<RLHTTPResponseSerializer>(made->responseSerializer());
    ASSERT_TRUE(responseCopy);
    EXPECT_NE(responseCopy, response);
    EXPECT_EQ(responseCopy->acceptableContentTypes(), response->acceptableContentTypes());
    EXPECT_EQ(made->securityPolicy()->SSLPinningMode(), RLSSLPinningModeCertificate);
    EXPECT_NE(made->securityPolicy(), original->securityPolicy());
  }

  // The pinning policy is checked again: with a plain base URL it refuses to come back.
  original->setBaseURL(net::URL::fromString("http://127.0.0.1/api/"));
  const auto plain = foundation::KeyedArchiver::archivedDataWithRootObject(original, &error);
  ASSERT_TRUE(plain);
  EXPECT_FALSE(foundation::KeyedUnarchiver::unarchivedObjectOfClass<RLHTTPSessionManager>(*plain));
  EXPECT_THROW(original->copy(), RLInvalidSecurityPolicyException);
  EXPECT_THAT(original->description(),
              testing::MatchesRegex("<RLHTTPSessionManager: 0x[0-9a-f]+, baseURL: http://127.0.0.1/api/, session: "
                                    "<URLSession: 0x[0-9a-f]+>, operationQueue: <OperationQueue: 0x[0-9a-f]+>>"));
}

}  // namespace
