// The application's road end to end against a loopback server: a GET for a string URL through the
// top-level function with a JSON handler on the main queue, validation, serialization failures,
// requests that fail before any network activity, notifications and the request's descriptions.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "net/pipeline/JSONEncoding.h"
#include "net/pipeline/Notifications.h"
#include "net/pipeline/Pipeline.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/ProcessInfo.h"
#include "platform/net/URLError.h"
#include "tests/net/pipeline/LoopbackRoutes.h"
#include "tests/net/pipeline/PipelineTestSupport.h"

namespace {

using pipeline::DataResponse;
using pipeline::PipelineError;
using foundation::pumpMainUntil;
using Value = foundation::Value;

std::string text(const std::optional<foundation::Data>& data) {
  return data ? std::string(data->begin(), data->end()) : std::string("<none>");
}

const PipelineError::ResponseValidationFailureReason* validationReason(const std::optional<pipeline::AnyError>& error) {
  auto* pipelineError = test::pipelineError(error);
  auto* failed = pipelineError ? pipelineError->as<PipelineError::ResponseValidationFailed>() : nullptr;
  return failed ? &failed->reason : nullptr;
}

// Validations count only when added before the task completes, and a loopback server can answer
// a started request first. Requests made through this manager start when resumed, once validated.
std::shared_ptr<pipeline::SessionManager> managerStartingOnResume() {
  auto manager = pipeline::SessionManager::create();
  manager->setStartRequestsImmediately(false);
  return manager;
}

TEST(RequestRoad, TopLevelGetDeliversJSONOnTheMainQueueWithStatusAndRawData) {
  test::PipelineServer server;
  std::optional<DataResponse<Value>> received;
  bool onMainThread = false;
  pipeline::request(server.url("/json"))->responseJSON([&](const DataResponse<Value>& response) {
    onMainThread = dispatch::Queue::isMainThread();
    received = response;
  });
  ASSERT_TRUE(pumpMainUntil([&] { return received.has_value(); }));
  EXPECT_TRUE(onMainThread);
  ASSERT_TRUE(received->response());
  EXPECT_EQ(received->response()->statusCode(), 200);
  EXPECT_EQ(text(received->data()), "{\"hosts\":[\"a\",\"b\"]}");
  ASSERT_TRUE(received->result().isSuccess());
  EXPECT_EQ(received->value()->operator[]("hosts")[1].stringValue(), "b");
  ASSERT_TRUE(received->request());
  EXPECT_EQ(received->request()->httpMethod(), "GET");
  const auto& timeline = received->timeline();
  EXPECT_GT(timeline.requestStartTime(), 0);
  EXPECT_LE(timeline.requestStartTime(), timeline.initialResponseTime());
  EXPECT_LE(timeline.initialResponseTime(), timeline.requestCompletedTime());
  EXPECT_LE(timeline.requestCompletedTime(), timeline.serializationCompletedTime());
  EXPECT_TRUE(received->metrics()) << "the session's metrics reach the response";
}

TEST(RequestRoad, SharedManagerSendsTheDefaultHeaders) {
  test::PipelineServer server;
  std::optional<DataResponse<std::string>> received;
  pipeline::request(server.url("/echo"))->responseString([&](const auto& response) { received = response; });
  ASSERT_TRUE(pumpMainUntil([&] { return received.has_value(); }));
  ASSERT_TRUE(received->value());
  const std::string echoed = *received->value();
  for (const auto& [name, value] : pipeline::SessionManager::defaultHTTPHeaders()) {
    EXPECT_NE(echoed.find(name + ": " + value), std::string::npos) << name << " missing in\n" << echoed;
  }
}

TEST(RequestRoad, StatusValidationFailsWithTheCodeWhileTheBodyStaysReadable) {
  test::PipelineServer server;
  auto manager = managerStartingOnResume();
  for (int status : {404, 500}) {
    std::optional<DataResponse<Value>> received;
    auto request = manager->request(server.url("/status/" + std::to_string(status)));
    request->validate().responseJSON([&](const auto& r) { received = r; });
    request->resume();
    ASSERT_TRUE(pumpMainUntil([&] { return received.has_value(); })) << status;
    auto* reason = validationReason(received->error());
    ASSERT_TRUE(reason) << status;
    auto* code = reason->as<PipelineError::ResponseValidationFailureReason::UnacceptableStatusCode>();
    ASSERT_TRUE(code) << status;
    EXPECT_EQ(code->code, status);
    EXPECT_EQ(received->response()->statusCode(), status);
    EXPECT_EQ(text(received->data()), "{\"status\":" + std::to_string(status) + "}");
  }
}

TEST(RequestRoad, BodyThatIsNotJSONFailsSerializationButKeepsItsData) {
  test::PipelineServer server;
  std::optional<DataResponse<Value>> received;
  pipeline::request(server.url("/text"))->responseJSON([&](const auto& r) { received = r; });
  ASSERT_TRUE(pumpMainUntil([&] { return received.has_value(); }));
  auto* error = test::pipelineError(received->error());
  ASSERT_TRUE(error);
  auto* failed = error->as<PipelineError::ResponseSerializationFailed>();
  ASSERT_TRUE(failed);
  EXPECT_TRUE(failed->reason.as<PipelineError::ResponseSerializationFailureReason::JSONSerializationFailed>());
  EXPECT_EQ(received->response()->statusCode(), 200);
  EXPECT_EQ(text(received->data()), "127.0.0.1 example.test");
}

TEST(RequestRoad, ContentTypeValidation) {
  test::PipelineServer server;
  auto manager = managerStartingOnResume();
  struct Case {
    std::string path;
    std::optional<std::string> accept;              // header on the request, for validate()
    std::optional<std::vector<std::string>> types;  // explicit types, else validate()
    bool passes;
  };
  const std::vector<Case> cases = {
      {"/json", std::nullopt, std::vector<std::string>{"application/json"}, true},
      {"/json", std::nullopt, std::vector<std::string>{"*/json"}, true},
      {"/json", std::nullopt, std::vector<std::string>{"text/html", "application/*"}, true},
      {"/json", std::nullopt, std::vector<std::string>{"text/html"}, false},
      {"/text", "text/*", std::nullopt, true},
      {"/text", "text/html;q=0.9, application/json", std::nullopt, false},
      {"/html", "text/html;q=0.9, application/json", std::nullopt, true},
      {"/html", std::nullopt, std::nullopt, true},
  };
  for (const auto& c : cases) {
    std::optional<pipeline::HTTPHeaders> headers;
    if (c.accept) headers = pipeline::HTTPHeaders{{"Accept", *c.accept}};
    auto request = manager->request(server.url(c.path), pipeline::HTTPMethod::get, std::nullopt,
                                    pipeline::URLEncoding::default_(), headers);
    if (c.types) {
      request->validate(*c.types);
    } else {
      request->validate();
    }
    std::optional<DataResponse<foundation::Data>> received;
    request->responseData([&](const auto& r) { received = r; });
    request->resume();
    ASSERT_TRUE(pumpMainUntil([&] { return received.has_value(); })) << c.path;
    EXPECT_EQ(received->result().isSuccess(), c.passes) << c.path << " " << c.accept.value_or("");
    if (!c.passes) {
      auto* reason = validationReason(received->error());
      ASSERT_TRUE(reason);
      auto* unacceptable = reason->as<PipelineError::ResponseValidationFailureReason::UnacceptableContentType>();
      ASSERT_TRUE(unacceptable);
      EXPECT_EQ(unacceptable->responseContentType, received->response()->mimeType().value());
    }
  }
}

TEST(RequestRoad, UnparsableURLReachesTheHandlerWithoutNetworkOrNotification) {
  std::atomic<int> resumes{0};
  auto token = foundation::NotificationCenter::defaultCenter().addObserver(
      pipeline::Notification::Name::Task::DidResume, nullptr, nullptr, [&](const auto&) { ++resumes; });
  std::optional<DataResponse<Value>> received;
  auto request = pipeline::request("http://exa mple.test/");
  ASSERT_TRUE(request);
  EXPECT_FALSE(request->task());
  request->responseJSON([&](const auto& r) { received = r; });
  ASSERT_TRUE(pumpMainUntil([&] { return received.has_value(); }));
  foundation::NotificationCenter::defaultCenter().removeObserver(token);
  auto* error = test::pipelineError(received->error());
  ASSERT_TRUE(error);
  ASSERT_TRUE(error->isInvalidURLError());
  EXPECT_EQ(error->urlConvertible()->description(), "http://exa mple.test/");
  EXPECT_FALSE(received->response());
  EXPECT_EQ(resumes.load(), 0);
  EXPECT_EQ(request->debugDescription(), "$ curl command could not be created");
}

TEST(RequestRoad, RequestWithErrorWaitsForResumeWhenNotStartedImmediately) {
  auto manager = pipeline::SessionManager::create();
  manager->setStartRequestsImmediately(false);
  bool called = false;
  auto request = manager->request("");
  request->response([&](const pipeline::DefaultDataResponse& response) {
    called = true;
    EXPECT_TRUE(test::pipelineError(response.error()));
  });
  EXPECT_FALSE(pumpMainUntil([&] { return called; }, 0.2));
  request->resume();
  EXPECT_TRUE(pumpMainUntil([&] { return called; }));
}

// Records the task notifications of one request (or of one session delegate for completion).
struct NotificationLog {
  struct Entry {
    std::string name;
    const void* sender;
    foundation::Dictionary userInfo;
  };
  std::mutex mutex;
  std::vector<Entry> entries;
  std::vector<foundation::NotificationCenter::ObserverToken> tokens;

  NotificationLog() {
    using Names = pipeline::Notification::Name::Task;
    for (const auto* name : {&Names::DidResume, &Names::DidSuspend, &Names::DidCancel, &Names::DidComplete}) {
      tokens.push_back(foundation::NotificationCenter::defaultCenter().addObserver(
          *name, nullptr, nullptr, [this](const foundation::Notification& n) {
            std::lock_guard lock(mutex);
            entries.push_back({n.name(), n.sender(), n.userInfo()});
          }));
    }
  }
  ~NotificationLog() {
    for (auto token : tokens) foundation::NotificationCenter::defaultCenter().removeObserver(token);
  }
  std::vector<Entry> from(const void* sender) {
    std::lock_guard lock(mutex);
    std::vector<Entry> out;
    for (const auto& e : entries) {
      if (e.sender == sender) out.push_back(e);
    }
    return out;
  }
};

TEST(RequestRoad, ResumeSuspendCancelAndCompleteNotificationsCarryTheirKeys) {
  using Names = pipeline::Notification::Name::Task;
  test::PipelineServer server;
  NotificationLog log;
  auto manager = pipeline::SessionManager::create();
  manager->setStartRequestsImmediately(false);
  auto request = manager->request(server.url("/slow"));
  auto task = request->task();
  ASSERT_TRUE(task);
  std::optional<pipeline::DefaultDataResponse> received;
  request->response([&](const auto& r) { received = r; });

  request->resume();
  const auto firstStart = request->startTime();
  request->suspend();
  request->resume();
  EXPECT_EQ(request->startTime(), firstStart) << "a second resume keeps the first start time";
  request->cancel();
  ASSERT_TRUE(pumpMainUntil([&] { return received.has_value(); }));

  auto own = log.from(request.get());
  ASSERT_EQ(own.size(), 4u);
  const std::vector<std::string> names{Names::DidResume, Names::DidSuspend, Names::DidResume, Names::DidCancel};
  for (std::size_t i = 0; i < own.size(); ++i) {
    EXPECT_EQ(own[i].name, names[i]);
    EXPECT_EQ(own[i].userInfo.get(pipeline::Notification::Key::Task).objectValue().get(), task.get());
  }
  const void* delegateObject = static_cast<const foundation::Object*>(manager->delegate().get());
  ASSERT_TRUE(pumpMainUntil([&] { return log.from(delegateObject).size() == 1; }));
  auto completed = log.from(delegateObject);
  EXPECT_EQ(completed[0].name, Names::DidComplete);
  EXPECT_EQ(completed[0].userInfo.get(pipeline::Notification::Key::Task).objectValue().get(), task.get());
  EXPECT_TRUE(completed[0].userInfo.get(pipeline::Notification::Key::ResponseData).isData());

  const auto* platformError = received->error() ? received->error()->as<foundation::Error>() : nullptr;
  ASSERT_TRUE(platformError);
  EXPECT_EQ(platformError->code(), net::URLErrorCancelled);
  EXPECT_FALSE(manager->delegate()->request(task)) << "a completed request leaves the table";
}

// Hostfile bodies of 50 MB are common: validations, every response handler and the completion
// notification read the one body the task collected instead of copies of it.
TEST(RequestRoad, ValidationsHandlersAndTheNotificationShareTheCollectedBody) {
  test::PipelineServer server;
  NotificationLog log;
  auto manager = managerStartingOnResume();
  auto request = manager->request(server.url("/text"));
  const foundation::Data* validated = nullptr;
  request->validate([&](const auto&, const auto&, const std::optional<foundation::Data>& data) {
    validated = data ? &*data : nullptr;
    return pipeline::Request::ValidationResult::success();
  });
  std::optional<DataResponse<foundation::Data>> asData;
  std::optional<DataResponse<Value>> asJSON;
  std::optional<pipeline::DefaultDataResponse> plain;
  request->responseData([&](const auto& r) { asData = r; });
  request->responseJSON([&](const auto& r) { asJSON = r; });
  request->response([&](const auto& r) { plain = r; });
  request->resume();
  ASSERT_TRUE(pumpMainUntil([&] { return asData && asJSON && plain; }));
  const void* delegateObject = static_cast<const foundation::Object*>(manager->delegate().get());
  ASSERT_TRUE(pumpMainUntil([&] { return log.from(delegateObject).size() == 1; }));

  ASSERT_TRUE(asData->data());
  const foundation::Data* body = &*asData->data();
  EXPECT_EQ(text(asData->data()), "127.0.0.1 example.test");
  EXPECT_EQ(validated, body);
  EXPECT_EQ(&*asJSON->data(), body);
  EXPECT_EQ(&*plain->data(), body);
  EXPECT_EQ(&log.from(delegateObject)[0].userInfo.get(pipeline::Notification::Key::ResponseData).dataValue(), body);
  // The serialized data is the caller's own to keep.
  EXPECT_EQ(*asData->value(), *body);
}

TEST(RequestRoad, DescriptionAndCURLCommand) {
  test::PipelineServer server;
  auto manager = pipeline::SessionManager::create();
  foundation::Dictionary parameters{{"name", "say \"hi\""}};
  auto post = manager->request(server.url("/echo"), pipeline::HTTPMethod::post, parameters,
                               pipeline::JSONEncoding::default_(), pipeline::HTTPHeaders{{"Cookie", "secret=1"}, {"X-Q", "a\"b"}});
  post->authenticate("user", "pass");
  const std::string curl = post->debugDescription();
  const std::string separator = " \\\n\t";
  EXPECT_EQ(curl.rfind("$ curl -v" + separator + "-X POST" + separator, 0), 0u) << curl;
  EXPECT_NE(curl.find(separator + "-u user:pass"), std::string::npos) << curl;
  EXPECT_NE(curl.find("-H \"Content-Type: application/json\""), std::string::npos) << curl;
  EXPECT_NE(curl.find("-H \"X-Q: a\\\"b\""), std::string::npos) << curl;
  EXPECT_EQ(curl.find("secret"), std::string::npos) << "cookies never appear as a header: " << curl;
  EXPECT_NE(curl.find("-d \"{\\\"name\\\":\\\"say \\\\\\\"hi\\\\\\\"\\\"}\""), std::string::npos) << curl;
  EXPECT_EQ(curl.substr(curl.size() - server.url("/echo").size() - 2), "\"" + server.url("/echo") + "\"");

  auto get = manager->request(server.url("/status/404"));
  EXPECT_EQ(get->debugDescription().find("-X "), std::string::npos);
  bool done = false;
  get->response([&](const auto&) { done = true; });
  ASSERT_TRUE(pumpMainUntil([&] { return done; }));
  EXPECT_EQ(get->description(), "GET " + server.url("/status/404") + " (404)");
}

TEST(SessionManagerHeaders, AcceptLanguageAndUserAgent) {
  using pipeline::SessionManager;
  EXPECT_EQ(SessionManager::acceptLanguage({}), "");
  EXPECT_EQ(SessionManager::acceptLanguage({"de-DE", "en"}), "de-DE;q=1.0, en;q=0.9");
  const std::string eight = SessionManager::acceptLanguage({"a", "b", "c", "d", "e", "f", "g", "h"});
  EXPECT_EQ(eight, "a;q=1.0, b;q=0.9, c;q=0.8, d;q=0.7, e;q=0.6, f;q=0.5");

  EXPECT_EQ(SessionManager::userAgent(nullptr), "Pipeline");
  const auto version = foundation::ProcessInfo::processInfo().operatingSystemVersion();
  const std::string system = "Linux " + std::to_string(version.majorVersion) + "." +
                             std::to_string(version.minorVersion) + "." + std::to_string(version.patchVersion);
  foundation::Dictionary full{{"CFBundleExecutable", "Quillmere"},
                              {"CFBundleIdentifier", "org.quillmere.app"},
                              {"CFBundleShortVersionString", "2.1"},
                              {"CFBundleVersion", "210"}};
  EXPECT_EQ(SessionManager::userAgent(&full),
            "Quillmere/2.1 (org.quillmere.app; build:210; " + system + ") Pipeline/2.1");
  foundation::Dictionary partial{{"CFBundleExecutable", "Quillmére"}, {"CFBundleVersion", 7}};
  EXPECT_EQ(SessionManager::userAgent(&partial), "Quillmere/Unknown (Unknown; build:Unknown; " + system + ") Unknown");
}

TEST(SessionManagerLifetime, ManagersGetOwnQueuesAndAdoptOnlyTheirOwnDelegate) {
  auto first = pipeline::SessionManager::create();
  auto second = pipeline::SessionManager::create();
  EXPECT_NE(first->queue()->label(), second->queue()->label());
  EXPECT_EQ(first->queue()->label().rfind("org.pipeline.session-manager.", 0), 0u);

  auto delegate = std::make_shared<pipeline::SessionDelegate>();
  auto session = net::URLSession::create(net::URLSessionConfiguration::ephemeralSessionConfiguration(), delegate);
  EXPECT_FALSE(pipeline::SessionManager::create(session, std::make_shared<pipeline::SessionDelegate>()));
  auto adopted = pipeline::SessionManager::create(session, delegate);
  ASSERT_TRUE(adopted);
  EXPECT_EQ(delegate->sessionManager(), adopted);
}

TEST(SessionManagerLifetime, DestroyingAManagerCancelsItsTasks) {
  test::PipelineServer server;
  auto manager = pipeline::SessionManager::create();
  auto request = manager->request(server.url("/slow"));
  std::optional<pipeline::DefaultDataResponse> received;
  request->response([&](const auto& r) { received = r; });
  auto delegate = manager->delegate();
  std::function<void(const net::URLSessionPtr&)> background = delegate->sessionDidFinishEventsForBackgroundURLSession.get();
  manager.reset();
  ASSERT_TRUE(pumpMainUntil([&] { return received.has_value(); }));
  const auto* error = received->error() ? received->error()->as<foundation::Error>() : nullptr;
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), net::URLErrorCancelled);
  ASSERT_TRUE(background);
  background(nullptr);  // the manager is gone: nothing happens, nothing crashes
}

}  // namespace
