// Downloads, uploads, pausing, cancelling and resuming against a real HTTP server on 127.0.0.1.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <array>
#include <atomic>
#include <future>

#include "platform/net/URLError.h"
#include "platform/net/detail/ResumeData.h"
#include "tests/platform/net/LoopbackServer.h"
#include "tests/platform/net/RecordingDelegate.h"
#include "tests/support/TempDir.h"

using namespace std::chrono_literals;
using net::URL;
using net::URLRequest;

namespace {

std::string pattern(std::size_t size) {
  std::string s(size, '\0');
  for (std::size_t i = 0; i < size; ++i) s[i] = static_cast<char>('a' + (i * 7 + i / 4096) % 26);
  return s;
}

URLRequest request(const std::string& url, const std::string& method = "GET") {
  URLRequest r(*URL::fromString(url));
  r.setHTTPMethod(method);
  return r;
}

// Serves `body` in chunks of `chunk` bytes with a pause after each, so tests can act mid-way,
// with an ETag validator; the server library answers Range requests from the provider itself.
void serveSlowly(httplib::Server& s, const std::string& path, std::shared_ptr<std::string> body, std::size_t chunk,
                 std::chrono::milliseconds pause) {
  s.Get(path, [=](const httplib::Request&, httplib::Response& res) {
    res.set_header("ETag", "\"v1\"");
    res.set_content_provider(body->size(), "application/octet-stream",
                             [=](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                               sink.write(body->data() + offset, std::min(chunk, length));
                               std::this_thread::sleep_for(pause);
                               return true;
                             });
  });
}

}  // namespace

TEST(URLSessionTransferTest, TenMegabyteDownloadIsWrittenToAFile) {
  auto body = std::make_shared<std::string>(pattern(10 << 20));
  test::LoopbackServer server;
  server.routes().Get("/big", [&](const httplib::Request&, httplib::Response& res) {
    res.set_content(*body, "application/octet-stream");
    res.set_header("Content-Disposition", "attachment; filename=\"big.bin\"");
  });
  server.start();
  test::TempDir dir;
  test::SessionFixture f;
  std::string location;
  f.delegate->onDownloaded = [&](const URL& temporary) {
    location = temporary.path();
    ASSERT_EQ(::rename(temporary.path().c_str(), dir.file("kept.bin").c_str()), 0);
  };
  auto task = f.session->downloadTask(request(server.url("/big")));
  task->resume();
  ASSERT_TRUE(f.delegate->waitForCompletion(1, 60s));
  EXPECT_FALSE(f.delegate->error);
  EXPECT_TRUE(test::readFile(dir.file("kept.bin")) == *body);
  EXPECT_EQ(f.delegate->totalWritten, static_cast<std::int64_t>(body->size()));
  EXPECT_EQ(f.delegate->expectedToWrite, static_cast<std::int64_t>(body->size()));
  EXPECT_EQ(task->countOfBytesReceived(), static_cast<std::int64_t>(body->size()));
  EXPECT_EQ(task->response()->suggestedFilename(), "big.bin");
  EXPECT_EQ(f.delegate->eventsSnapshot(), (std::vector<std::string>{"write", "downloaded", "metrics", "complete"}));

  // A file the delegate leaves in place is removed once the callback returns.
  test::SessionFixture g;
  g.delegate->onDownloaded = [&](const URL& temporary) { location = temporary.path(); };
  g.session->downloadTask(request(server.url("/big")))->resume();
  ASSERT_TRUE(g.delegate->waitForCompletion(1, 60s));
  ASSERT_FALSE(location.empty());
  g.session->finishTasksAndInvalidate();
  ASSERT_TRUE(g.delegate->waitForInvalidation());
  EXPECT_NE(::access(location.c_str(), F_OK), 0);
}

TEST(URLSessionTransferTest, DownloadWithCompletionHandlerSeesTheFileBeforeItGoes) {
  test::LoopbackServer server;
  server.routes().Get("/f", [](const httplib::Request&, httplib::Response& res) { res.set_content("file body", "text/plain"); });
  server.start();
  auto session = net::URLSession::create(net::URLSessionConfiguration::ephemeralSessionConfiguration());
  std::promise<std::pair<std::string, std::string>> result;
  session->downloadTask(request(server.url("/f")), [&](std::optional<URL> location, auto, auto error) {
    result.set_value({location ? test::readFile(location->path()) : "", error ? error->localizedDescription() : ""});
  })->resume();
  auto future = result.get_future();
  ASSERT_EQ(future.wait_for(30s), std::future_status::ready);
  EXPECT_EQ(future.get(), std::make_pair(std::string("file body"), std::string()));
  session->finishTasksAndInvalidate();
}

TEST(URLSessionTransferTest, UploadsFromDataFileAndStream) {
  test::LoopbackServer server;
  auto summary = [](const httplib::Request& req, httplib::Response& res) {
    res.set_content(req.method + " " + std::to_string(req.body.size()) + " " +
                        (req.has_header("Transfer-Encoding") ? "chunked" : req.get_header_value("Content-Length")) +
                        " " + req.body.substr(0, 4),
                    "text/plain");
  };
  server.routes().Post("/up", summary);
  server.routes().Put("/up", summary);
  server.start();
  test::TempDir dir;
  const std::string body = pattern(300000);
  ASSERT_TRUE(test::writeFile(dir.file("body.bin"), body));
  const std::string head = body.substr(0, 4);

  struct Case {
    const char* name;
    std::function<std::shared_ptr<net::URLSessionUploadTask>(net::URLSession&, URLRequest)> make;
    std::string expected;
    std::int64_t expectedToSend;
  };
  std::vector<Case> cases{
      {"data", [&](net::URLSession& s, URLRequest r) { return s.uploadTask(r, foundation::Data(body.begin(), body.end())); },
       "PUT 300000 300000 " + head, 300000},
      {"file", [&](net::URLSession& s, URLRequest r) { return s.uploadTaskFromFile(r, URL::fileURLWithPath(dir.file("body.bin"))); },
       "PUT 300000 300000 " + head, 300000},
      {"stream", [&](net::URLSession& s, URLRequest r) {
         r.setHTTPBodyStream(net::InputStream::withFileAtPath(dir.file("body.bin")));
         return s.uploadTaskWithStreamedRequest(r);
       },
       "PUT 300000 chunked " + head, net::kURLSessionTransferSizeUnknown},
  };
  for (auto& c : cases) {
    test::SessionFixture f;
    auto task = c.make(*f.session, request(server.url("/up"), "PUT"));
    task->resume();
    ASSERT_TRUE(f.delegate->waitForCompletion()) << c.name;
    EXPECT_FALSE(f.delegate->error) << c.name;
    EXPECT_EQ(f.delegate->bodyText(), c.expected) << c.name;
    EXPECT_EQ(f.delegate->totalSent, 300000) << c.name;
    EXPECT_EQ(f.delegate->expectedToSend, c.expectedToSend) << c.name;
  }

  test::SessionFixture missing;
  missing.session->uploadTaskFromFile(request(server.url("/up"), "POST"), URL::fileURLWithPath(dir.file("nothing")))->resume();
  ASSERT_TRUE(missing.delegate->waitForCompletion());
  ASSERT_TRUE(missing.delegate->error);
  EXPECT_EQ(missing.delegate->error->code(), net::URLErrorFileDoesNotExist);
}

TEST(URLSessionTransferTest, SuspendPausesASlowTransferAndResumeFinishesIt) {
  auto body = std::make_shared<std::string>(pattern(64 * 1024));
  test::LoopbackServer server;
  serveSlowly(server.routes(), "/slow", body, 4096, 20ms);
  server.start();
  test::SessionFixture f;
  std::vector<std::string> transitions;
  std::mutex transitionsMutex;
  auto token = net::URLSessionTask::addTransitionObserver([&](const net::TaskPtr&, net::URLSessionTask::Transition t) {
    std::lock_guard lock(transitionsMutex);
    transitions.push_back(t == net::URLSessionTask::Transition::Resume ? "resume" : "suspend");
  });
  auto task = f.session->dataTask(request(server.url("/slow")));
  task->resume();
  task->resume();  // already running: no transition
  ASSERT_TRUE(f.delegate->waitForBytes(8192));
  task->suspend();
  EXPECT_EQ(task->state(), net::URLSessionTaskState::Suspended);
  // Let whatever was already on its way land, then nothing more may arrive while suspended.
  std::this_thread::sleep_for(200ms);
  std::size_t atPause = f.delegate->bodySize();
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(f.delegate->bodySize(), atPause);
  EXPECT_LT(atPause, body->size());
  task->suspend();  // already suspended: no transition
  task->resume();
  ASSERT_TRUE(f.delegate->waitForCompletion());
  EXPECT_FALSE(f.delegate->error);
  EXPECT_TRUE(f.delegate->bodyText() == *body);
  net::URLSessionTask::removeTransitionObserver(token);
  std::lock_guard lock(transitionsMutex);
  EXPECT_EQ(transitions, (std::vector<std::string>{"resume", "suspend", "resume"}));
}

// The process's one resume/suspend hook hears every call with the state before it, also calls
// that change nothing; a second installation is refused.
namespace hook {
std::mutex mutex;
std::vector<std::pair<net::URLSessionTask::Transition, net::URLSessionTaskState>> calls;
void record(const net::TaskPtr&, net::URLSessionTask::Transition transition, net::URLSessionTaskState before) {
  std::lock_guard lock(mutex);
  calls.emplace_back(transition, before);
}
void other(const net::TaskPtr&, net::URLSessionTask::Transition, net::URLSessionTaskState) {}
}  // namespace hook

TEST(URLSessionTransferTest, TheResumeSuspendHookHearsEveryCallWithThePriorState) {
  using T = net::URLSessionTask::Transition;
  using S = net::URLSessionTaskState;
  ASSERT_TRUE(net::URLSessionTask::installResumeSuspendHook(hook::record));
  EXPECT_FALSE(net::URLSessionTask::installResumeSuspendHook(hook::other));
  auto body = std::make_shared<std::string>(pattern(64 * 1024));
  test::LoopbackServer server;
  serveSlowly(server.routes(), "/slow", body, 4096, 20ms);
  server.start();
  test::SessionFixture f;
  auto task = f.session->dataTask(request(server.url("/slow")));
  task->resume();
  task->resume();
  task->suspend();
  task->suspend();
  task->cancel();
  ASSERT_TRUE(f.delegate->waitForCompletion());
  task->resume();
  std::lock_guard lock(hook::mutex);
  EXPECT_EQ(hook::calls, (std::vector<std::pair<T, S>>{{T::Resume, S::Suspended},
                                                         {T::Resume, S::Running},
                                                         {T::Suspend, S::Running},
                                                         {T::Suspend, S::Suspended},
                                                         {T::Resume, S::Completed}}));
}

TEST(URLSessionTransferTest, CancelCompletesWithTheCancelledError) {
  auto body = std::make_shared<std::string>(pattern(64 * 1024));
  test::LoopbackServer server;
  serveSlowly(server.routes(), "/slow", body, 4096, 20ms);
  server.start();
  {
    test::SessionFixture f;
    auto task = f.session->dataTask(request(server.url("/slow")));
    task->resume();
    ASSERT_TRUE(f.delegate->waitForBytes(4096));
    task->cancel();
    // The engine may already have completed it by the time we look.
    EXPECT_NE(task->state(), net::URLSessionTaskState::Running);
    task->resume();  // no effect once cancelling
    ASSERT_TRUE(f.delegate->waitForCompletion());
    ASSERT_TRUE(f.delegate->error);
    EXPECT_EQ(f.delegate->error->code(), net::URLErrorCancelled);
    EXPECT_EQ(f.delegate->error->localizedDescription(), "cancelled");
    EXPECT_EQ(task->state(), net::URLSessionTaskState::Completed);
    EXPECT_LT(f.delegate->bodySize(), body->size());
  }
  {
    // A task cancelled before it ever ran completes too, without a request.
    test::SessionFixture f;
    auto task = f.session->dataTask(request(server.url("/slow")));
    task->cancel();
    ASSERT_TRUE(f.delegate->waitForCompletion());
    EXPECT_EQ(f.delegate->error->code(), net::URLErrorCancelled);
    EXPECT_EQ(f.delegate->eventsSnapshot(), (std::vector<std::string>{"complete"}));
  }
}

TEST(URLSessionTransferTest, CancelledDownloadResumesFromItsResumeData) {
  auto body = std::make_shared<std::string>(pattern(96 * 1024));
  test::LoopbackServer server;
  serveSlowly(server.routes(), "/file", body, 8192, 15ms);
  std::atomic<int> ranged{0};
  server.routes().set_pre_routing_handler([&](const httplib::Request& req, httplib::Response&) {
    if (req.has_header("Range")) ++ranged;
    return httplib::Server::HandlerResponse::Unhandled;
  });
  server.start();
  test::SessionFixture f;
  auto task = f.session->downloadTask(request(server.url("/file")));
  task->resume();
  ASSERT_TRUE(f.delegate->waitForBytes(16384));
  std::promise<std::optional<foundation::Data>> produced;
  task->cancelByProducingResumeData([&](std::optional<foundation::Data> data) { produced.set_value(data); });
  auto future = produced.get_future();
  ASSERT_EQ(future.wait_for(30s), std::future_status::ready);
  auto resumeData = future.get();
  ASSERT_TRUE(resumeData);
  ASSERT_TRUE(f.delegate->waitForCompletion());
  EXPECT_EQ(f.delegate->error->code(), net::URLErrorCancelled);
  // The partial file holds every byte the resume data counts, and no disk space reserved for the
  // rest of the body.
  auto partial = net::detail::ResumeData::decode(*resumeData);
  ASSERT_TRUE(partial);
  struct stat file {};
  ASSERT_EQ(::stat(partial->filePath.c_str(), &file), 0);
  EXPECT_EQ(file.st_size, partial->offset);
  EXPECT_LT(file.st_blocks * 512, static_cast<long>(body->size()));

  std::string downloaded;
  f.delegate->onDownloaded = [&](const URL& location) { downloaded = test::readFile(location.path()); };
  auto resumed = f.session->downloadTaskWithResumeData(*resumeData);
  ASSERT_TRUE(resumed->originalRequest());
  EXPECT_EQ(resumed->originalRequest()->url()->absoluteString(), server.url("/file"));
  resumed->resume();
  ASSERT_TRUE(f.delegate->waitForCompletion(2));
  EXPECT_FALSE(f.delegate->error);
  ASSERT_EQ(downloaded.size(), body->size());
  EXPECT_TRUE(downloaded == *body) << "first difference at "
                                   << std::mismatch(downloaded.begin(), downloaded.end(), body->begin()).first - downloaded.begin();
  EXPECT_EQ(ranged.load(), 1);
  auto events = f.delegate->eventsSnapshot();
  auto resumedAt = std::find_if(events.begin(), events.end(), [](const std::string& e) { return e.rfind("resumed ", 0) == 0; });
  ASSERT_NE(resumedAt, events.end());
  EXPECT_NE(*resumedAt, "resumed 0");

  test::SessionFixture g;
  g.session->downloadTaskWithResumeData(foundation::Data{'x'})->resume();
  ASSERT_TRUE(g.delegate->waitForCompletion());
  EXPECT_EQ(g.delegate->error->code(), net::URLErrorCannotOpenFile);
}

TEST(URLSessionTransferTest, InvalidationWaitsForTasksOrCancelsThem) {
  auto body = std::make_shared<std::string>(pattern(32 * 1024));
  test::LoopbackServer server;
  serveSlowly(server.routes(), "/slow", body, 4096, 10ms);
  server.start();
  {
    auto delegate = std::make_shared<test::RecordingDelegate>();
    auto session = net::URLSession::create(net::URLSessionConfiguration::ephemeralSessionConfiguration(), delegate);
    session->dataTask(request(server.url("/slow")))->resume();
    session->finishTasksAndInvalidate();
    ASSERT_TRUE(delegate->waitForInvalidation());
    EXPECT_FALSE(delegate->error);
    EXPECT_TRUE(delegate->bodyText() == *body);
    EXPECT_EQ(delegate->eventsSnapshot().back(), "invalid");
    EXPECT_FALSE(session->delegate());  // let go after invalidation
    EXPECT_TRUE(session->allTasks().empty());

    // Work handed to an invalidated session fails at once instead of waiting forever.
    std::promise<long> late;
    session->dataTask(request(server.url("/slow")), [&](auto, auto, std::optional<foundation::Error> e) {
      late.set_value(e ? e->code() : 0);
    })->resume();
    auto code = late.get_future();
    ASSERT_EQ(code.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(code.get(), net::URLErrorCancelled);
  }
  {
    auto delegate = std::make_shared<test::RecordingDelegate>();
    auto session = net::URLSession::create(net::URLSessionConfiguration::ephemeralSessionConfiguration(), delegate);
    auto running = session->dataTask(request(server.url("/slow")));
    auto idle = session->dataTask(request(server.url("/slow")));
    running->resume();
    EXPECT_EQ(session->allTasks().size(), 2u);
    EXPECT_NE(running->taskIdentifier(), idle->taskIdentifier());
    session->invalidateAndCancel();
    ASSERT_TRUE(delegate->waitForInvalidation());
    EXPECT_EQ(delegate->completed, 2);
    EXPECT_EQ(delegate->error->code(), net::URLErrorCancelled);
    EXPECT_EQ(idle->state(), net::URLSessionTaskState::Completed);
  }
}

TEST(URLSessionTransferTest, ASlowDelegateHoldsBackTheTransferWithoutLosingBytes) {
  auto body = std::make_shared<std::string>(pattern(24 << 20));
  test::LoopbackServer server;
  server.routes().Get("/big", [&](const httplib::Request&, httplib::Response& res) {
    res.set_content(*body, "application/octet-stream");
  });
  server.start();
  test::SessionFixture f;
  std::atomic<int> batches{0};
  f.delegate->onData = [&](const net::DataTaskPtr&, const foundation::Data&) {
    // Slow enough that well over the buffering limit piles up before the delegate catches up.
    if (++batches < 5) std::this_thread::sleep_for(150ms);
  };
  f.session->dataTask(request(server.url("/big")))->resume();
  ASSERT_TRUE(f.delegate->waitForCompletion(1, 60s));
  EXPECT_FALSE(f.delegate->error);
  ASSERT_EQ(f.delegate->bodySize(), body->size());
  EXPECT_TRUE(f.delegate->bodyText() == *body);
}

TEST(URLSessionTransferTest, ConnectionsPerHostAreLimited) {
  test::LoopbackServer server;
  std::atomic<int> active{0}, peak{0};
  server.routes().Get("/busy", [&](const httplib::Request&, httplib::Response& res) {
    int now = ++active;
    int seen = peak.load();
    while (now > seen && !peak.compare_exchange_weak(seen, now)) {
    }
    std::this_thread::sleep_for(100ms);
    --active;
    res.set_content("ok", "text/plain");
  });
  server.start();
  auto configuration = net::URLSessionConfiguration::ephemeralSessionConfiguration();
  configuration.httpMaximumConnectionsPerHost = 1;
  test::SessionFixture f(configuration);
  for (int i = 0; i < 3; ++i) f.session->dataTask(request(server.url("/busy")))->resume();
  ASSERT_TRUE(f.delegate->waitForCompletion(3));
  EXPECT_EQ(f.delegate->bodyText(), "okokok");
  EXPECT_EQ(peak.load(), 1);
}

TEST(URLSessionTransferTest, TaskListsAndStreamTasks) {
  test::LoopbackServer server;
  server.start();
  test::SessionFixture f;
  auto data = f.session->dataTask(request(server.url("/")));
  auto upload = f.session->uploadTask(request(server.url("/"), "POST"), foundation::Data{1});
  auto download = f.session->downloadTask(request(server.url("/")));
  auto stream = f.session->streamTask("127.0.0.1", server.port());
  stream->setTaskDescription("mine");
  EXPECT_EQ(stream->taskDescription(), "mine");
  EXPECT_EQ(stream->host(), "127.0.0.1");

  std::promise<std::array<std::size_t, 3>> lists;
  f.session->getTasks([&](auto d, auto u, auto w) {
    lists.set_value({d.size(), u.size(), w.size()});
  });
  auto counts = lists.get_future();
  ASSERT_EQ(counts.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(counts.get(), (std::array<std::size_t, 3>{1, 1, 1}));
  EXPECT_EQ(f.session->allTasks().size(), 4u);

  // A stream task is tracked while resumed and ends only when cancelled.
  stream->resume();
  stream->cancel();
  ASSERT_TRUE(f.delegate->waitForCompletion());
  EXPECT_EQ(f.delegate->completedTask, stream);
  EXPECT_EQ(f.delegate->error->code(), net::URLErrorCancelled);
  EXPECT_EQ(f.session->allTasks().size(), 3u);
}
