#include "platform/net/detail/SessionCore.h"

#include <curl/curl.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <thread>
#include <utility>

#include "platform/foundation/FileManager.h"
#include "platform/net/URLError.h"
#include "platform/net/detail/ResumeData.h"
#include "platform/net/detail/Transfer.h"
#include "platform/security/Policy.h"
#include "platform/security/Trust.h"

namespace net::detail {
namespace {

using Clock = std::chrono::steady_clock;

// The stdio buffer of a download's file.
constexpr std::size_t kFileBufferBytes = 1 << 20;
// How far ahead of what is written a download of announced length reserves its file's blocks.
constexpr std::int64_t kReserveAheadBytes = 32 << 20;
// Redirect and 401 bodies are held in case they turn out final; more than this is dropped.
constexpr std::size_t kHeldBodyLimit = 1 << 20;
// A body announced longer than this gets no room up front: the announcement is not trusted that far.
constexpr std::int64_t kLargestReservedBody = std::int64_t{1} << 30;
constexpr unsigned long kMaximumRedirects = 16;

void initCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

std::string lower(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string trim(std::string_view s) {
  std::size_t b = 0, e = s.size();
  while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  return std::string(s.substr(b, e - b));
}

int defaultPort(const URL& url) {
  if (auto port = url.port()) return *port;
  return lower(url.scheme().value_or("")) == "https" ? 443 : 80;
}

bool sameOrigin(const URL& a, const URL& b) {
  return lower(a.scheme().value_or("")) == lower(b.scheme().value_or("")) &&
         lower(a.host().value_or("")) == lower(b.host().value_or("")) && defaultPort(a) == defaultPort(b);
}

std::string base64(const std::string& in) {
  static constexpr char kTable[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  std::size_t i = 0;
  for (; i + 2 < in.size(); i += 3) {
    unsigned v = (unsigned char)in[i] << 16 | (unsigned char)in[i + 1] << 8 | (unsigned char)in[i + 2];
    out += kTable[v >> 18 & 63];
    out += kTable[v >> 12 & 63];
    out += kTable[v >> 6 & 63];
    out += kTable[v & 63];
  }
  if (i + 1 == in.size()) {
    unsigned v = (unsigned char)in[i] << 16;
    out += kTable[v >> 18 & 63];
    out += kTable[v >> 12 & 63];
    out += "==";
  } else if (i + 2 == in.size()) {
    unsigned v = (unsigned char)in[i] << 16 | (unsigned char)in[i + 1] << 8;
    out += kTable[v >> 18 & 63];
    out += kTable[v >> 12 & 63];
    out += kTable[v >> 6 & 63];
    out += '=';
  }
  return out;
}

std::optional<std::string> basicRealm(const std::string& header) {
  std::string lowered = lower(header);
  auto basic = lowered.find("basic");
  if (basic == std::string::npos) return std::nullopt;
  auto realm = lowered.find("realm=", basic);
  if (realm == std::string::npos) return std::string();
  std::string value = header.substr(realm + 6);
  if (!value.empty() && value.front() == '"') {
    auto close = value.find('"', 1);
    return value.substr(1, close == std::string::npos ? std::string::npos : close - 1);
  }
  return trim(value.substr(0, value.find(',')));
}

long urlErrorForCurl(CURLcode code, long osErrno) {
  switch (code) {
    case CURLE_OK: return 0;
    case CURLE_UNSUPPORTED_PROTOCOL: return URLErrorUnsupportedURL;
    case CURLE_URL_MALFORMAT: return URLErrorBadURL;
    case CURLE_COULDNT_RESOLVE_HOST: return URLErrorCannotFindHost;
    case CURLE_COULDNT_CONNECT:
      return osErrno == ENETUNREACH || osErrno == ENETDOWN ? URLErrorNotConnectedToInternet
                                                           : URLErrorCannotConnectToHost;
    case CURLE_OPERATION_TIMEDOUT: return URLErrorTimedOut;
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_PARTIAL_FILE:
    case CURLE_GOT_NOTHING:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM: return URLErrorNetworkConnectionLost;
    case CURLE_WEIRD_SERVER_REPLY: return URLErrorBadServerResponse;
    case CURLE_BAD_CONTENT_ENCODING: return URLErrorCannotDecodeContentData;
    case CURLE_PEER_FAILED_VERIFICATION: return URLErrorServerCertificateUntrusted;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_SHUTDOWN_FAILED:
    case CURLE_USE_SSL_FAILED: return URLErrorSecureConnectionFailed;
    case CURLE_READ_ERROR: return URLErrorRequestBodyStreamExhausted;
    case CURLE_WRITE_ERROR: return URLErrorCannotWriteToFile;
    case CURLE_TOO_MANY_REDIRECTS: return URLErrorHTTPTooManyRedirects;
    default: return URLErrorUnknown;
  }
}

// One answer to a server-trust challenge, handed from the delegate queue to the blocked
// engine thread.
struct TrustWaiter {
  std::mutex mutex;
  std::condition_variable cv;
  std::optional<std::pair<URLSessionAuthChallengeDisposition, std::shared_ptr<const URLCredential>>> answer;

  void set(URLSessionAuthChallengeDisposition d, std::shared_ptr<const URLCredential> c) {
    std::lock_guard lock(mutex);
    if (!answer) answer.emplace(d, std::move(c));
    cv.notify_all();
  }
};

// Wraps a completion so that only its first call counts, whatever the delegate does.
template <typename... A, typename F>
std::function<void(A...)> once(F f) {
  auto called = std::make_shared<std::atomic<bool>>(false);
  return [called, f = std::move(f)](A... args) {
    if (!called->exchange(true)) f(std::move(args)...);
  };
}

}  // namespace

Transfer::~Transfer() {
  if (file) std::fclose(file);
  if (headerList) curl_slist_free_all(headerList);
  if (easy) curl_easy_cleanup(easy);
}

struct SessionCore::Engine {
  explicit Engine(SessionCore& core) : core(core) {
    initCurlOnce();
    multi = curl_multi_init();
    curl_multi_setopt(multi, CURLMOPT_MAX_HOST_CONNECTIONS,
                      std::max<long>(1, core.config_.httpMaximumConnectionsPerHost));
  }
  ~Engine() {
    transfers.clear();
    curl_multi_cleanup(multi);
  }

  SessionCore& core;
  CURLM* multi = nullptr;
  std::map<std::uint64_t, std::unique_ptr<Transfer>> transfers;
  bool invalidating = false;
  bool invalidationDelivered = false;
  bool stop = false;
  std::mutex waitersMutex;
  std::map<std::uint64_t, std::shared_ptr<TrustWaiter>> waiters;

  // ---- loop -------------------------------------------------------------------------------

  void loop() {
    while (!stop) {
      runCommands();
      if (stop) break;
      int running = 0;
      curl_multi_perform(multi, &running);
      handOverAll();
      processDone();
      checkTimeouts();
      runCommands();
      if (stop) break;
      int wait = transfers.empty() ? 1000 : 100;
      curl_multi_poll(multi, nullptr, 0, wait, nullptr);
    }
  }

  void runCommands() {
    std::vector<std::function<void()>> commands;
    {
      std::lock_guard lock(core.commandMutex_);
      commands.swap(core.commands_);
    }
    for (auto& command : commands) command();
    // A transfer let go of a pause may have been handed bytes on the spot.
    if (!commands.empty()) handOverAll();
  }

  // Queues for the delegate what the transfers gathered since the last pass: body bytes and
  // download progress go out once per pass over the sockets rather than once per read.
  void handOverAll() {
    for (auto& [id, t] : transfers) handOver(*t);
  }

  // Queues for the delegate what `t` gathered since the last pass. Whatever else is delivered
  // for a task comes after this, so that no callback overtakes the bytes that preceded it.
  void handOver(Transfer& t) {
    if (t.pendingData->handOver()) scheduleData(t);
    if (t.progressUnsent) scheduleProgress(t);
  }

  Transfer* find(std::uint64_t id) {
    auto it = transfers.find(id);
    return it == transfers.end() ? nullptr : it->second.get();
  }

  // ---- task commands ----------------------------------------------------------------------

  void resume(const std::shared_ptr<URLSessionTask>& task) {
    if (Transfer* t = find(task->taskIdentifier())) {
      t->pauses &= ~Transfer::Suspended;
      t->touch();
      applyPause(*t);
      return;
    }
    start(task);
  }

  void suspend(std::uint64_t id) {
    if (Transfer* t = find(id)) {
      t->pauses |= Transfer::Suspended;
      applyPause(*t);
    }
  }

  void cancel(const std::shared_ptr<URLSessionTask>& task, std::function<void(std::optional<foundation::Data>)> resumeCb) {
    Transfer* t = find(task->taskIdentifier());
    if (!t) {
      if (resumeCb) core.deliver([resumeCb] { resumeCb(std::nullopt); });
      completeUnstarted(task, makeURLError(URLErrorCancelled, task->originalRequest() ? task->originalRequest()->url()
                                                                                          : std::nullopt));
      return;
    }
    handOver(*t);
    if (resumeCb) {
      auto data = resumeDataFor(*t);
      core.deliver([resumeCb, data] { resumeCb(data); });
      if (data) t->filePath.clear();  // the partial file now belongs to the resume data
    }
    fail(*t, makeURLError(URLErrorCancelled, t->request.url()));
  }

  void flowDrained(std::uint64_t id) {
    if (Transfer* t = find(id)) {
      t->pauses &= ~Transfer::FlowControl;
      applyPause(*t);
    }
  }

  void invalidate(bool cancelTasks) {
    invalidating = true;
    if (cancelTasks) {
      for (auto& task : core.liveTasks()) {
        {
          std::lock_guard lock(task->mutex_);
          if (task->state_ == URLSessionTaskState::Completed) continue;
          task->state_ = URLSessionTaskState::Canceling;
        }
        wakeWaiter(task->taskIdentifier());
        cancel(task, nullptr);
      }
    }
    checkInvalidation();
  }

  void wakeAllWaiters() {
    std::lock_guard lock(waitersMutex);
    for (auto& [id, waiter] : waiters) waiter->set(URLSessionAuthChallengeDisposition::CancelAuthenticationChallenge, nullptr);
  }

  void wakeWaiter(std::uint64_t id) {
    std::lock_guard lock(waitersMutex);
    auto it = waiters.find(id);
    if (it != waiters.end()) it->second->set(URLSessionAuthChallengeDisposition::CancelAuthenticationChallenge, nullptr);
  }

  void checkInvalidation() {
    if (!invalidating || invalidationDelivered) return;
    {
      std::lock_guard lock(core.mutex_);
      if (!core.live_.empty()) return;
    }
    invalidationDelivered = true;
    auto self = core.shared_from_this();
    core.deliver([self] {
      std::shared_ptr<URLSessionDelegate> delegate;
      std::shared_ptr<URLSession> session;
      {
        std::lock_guard lock(self->mutex_);
        delegate.swap(self->delegate_);
        session = self->keepAlive_ ? self->keepAlive_ : self->session_.lock();
        self->keepAlive_.reset();
      }
      // The delegate hears of the invalidation last, after the session has let go of it.
      if (delegate && delegate->respondsTo(URLSessionCallback::DidBecomeInvalid)) {
        URLSessionDelegate::invoke([&] { delegate->didBecomeInvalid(session, std::nullopt); });
      }
      self->post([self] { self->engine_->stop = true; });
    });
  }

  // ---- starting ---------------------------------------------------------------------------

  void start(const std::shared_ptr<URLSessionTask>& task) {
    TaskSetup setup;
    {
      std::lock_guard lock(core.mutex_);
      auto it = core.setups_.find(task->taskIdentifier());
      if (it == core.setups_.end()) return;  // already completed
      setup = std::move(it->second);
      core.setups_.erase(it);
    }
    if (task->kind() == URLSessionTask::Kind::Stream) {
      // Stream tasks are tracked but not connected; they end only when cancelled.
      std::lock_guard lock(core.mutex_);
      core.setups_.emplace(task->taskIdentifier(), TaskSetup{});
      return;
    }
    auto t = std::make_unique<Transfer>();
    t->core = &core;
    t->task = task;
    t->setup = std::move(setup);
    t->taskStart = foundation::Date::now();
    t->download = task->kind() == URLSessionTask::Kind::Download;
    Transfer& ref = *t;
    transfers.emplace(task->taskIdentifier(), std::move(t));
    {
      std::lock_guard lock(task->mutex_);
      task->started_ = true;
      if (task->state_ == URLSessionTaskState::Suspended) ref.pauses |= Transfer::Suspended;
    }
    if (core.invalidated_ && invalidationDelivered) {
      return fail(ref, makeURLError(URLErrorCancelled, task->originalRequest() ? task->originalRequest()->url()
                                                                                 : std::nullopt));
    }
    if (!prepare(ref)) return;
    double resource = core.config_.timeoutIntervalForResource;
    ref.resourceDeadline = Clock::now() + std::chrono::milliseconds(static_cast<long long>(resource * 1000));
    beginAttempt(ref);
  }

  // Sets up the request, download file and body; false when the task has already failed.
  bool prepare(Transfer& t) {
    if (t.setup.resumeData) return prepareResume(t);
    t.request = *t.task->originalRequest();
    if (t.download && !openDownloadFile(t)) return false;
    return true;
  }

  bool prepareResume(Transfer& t) {
    auto resume = ResumeData::decode(*t.setup.resumeData);
    std::optional<foundation::FileAttributes> attributes;
    if (resume) attributes = foundation::FileManager::defaultManager().attributesOfItemAtPath(resume->filePath);
    if (!resume || !attributes) {
      fail(t, makeURLError(URLErrorCannotOpenFile, resume ? resume->request.url() : std::nullopt));
      return false;
    }
    t.request = resume->request;
    t.filePath = resume->filePath;
    t.file = std::fopen(t.filePath.c_str(), "ab");
    if (!bufferFile(t)) {
      fail(t, makeURLError(URLErrorCannotOpenFile, t.request.url()));
      return false;
    }
    t.resumeOffset = static_cast<std::int64_t>(attributes->size);
    t.validator = resume->validator;
    return true;
  }

  bool openDownloadFile(Transfer& t) {
    std::string pattern = foundation::FileManager::defaultManager().temporaryDirectory() + "/qm-download-XXXXXX.tmp";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    int fd = mkstemps(name.data(), 4);
    if (fd >= 0) t.file = fdopen(fd, "wb");
    if (!bufferFile(t)) {
      if (fd >= 0) ::close(fd);
      fail(t, makeURLError(URLErrorCannotCreateFile, t.request.url()));
      return false;
    }
    t.filePath = name.data();
    return true;
  }

  // Gives the download's file its large buffer; false when there is no file.
  bool bufferFile(Transfer& t) {
    if (!t.file) return false;
    if (!t.fileBuffer) t.fileBuffer = std::make_unique<char[]>(kFileBufferBytes);
    std::setvbuf(t.file, t.fileBuffer.get(), _IOFBF, kFileBufferBytes);
    return true;
  }

  // Opens the body for one attempt; false when the task has failed.
  bool openBody(Transfer& t) {
    t.body.reset();
    t.bodySent = 0;
    t.bodyLength = kURLSessionTransferSizeUnknown;
    if (!t.request.httpBody() && !t.request.httpBodyStream() && t.setup.body == TaskSetup::Body::None) return true;
    if (t.setup.body == TaskSetup::Body::Data || (t.setup.body == TaskSetup::Body::None && t.request.httpBody())) {
      const auto& data = t.setup.body == TaskSetup::Body::Data ? *t.setup.data : *t.request.httpBody();
      t.body = InputStream::withData(data);
      t.bodyLength = static_cast<std::int64_t>(data.size());
    } else if (t.setup.body == TaskSetup::Body::File) {
      auto attributes = foundation::FileManager::defaultManager().attributesOfItemAtPath(t.setup.filePath);
      if (!attributes) {
        fail(t, makeURLError(URLErrorFileDoesNotExist, t.request.url()));
        return false;
      }
      if (access(t.setup.filePath.c_str(), R_OK) != 0) {
        fail(t, makeURLError(URLErrorNoPermissionsToReadFile, t.request.url()));
        return false;
      }
      t.body = InputStream::withFileAtPath(t.setup.filePath);
      t.bodyLength = static_cast<std::int64_t>(attributes->size);
    } else {
      t.body = t.setup.stream ? t.setup.stream : t.request.httpBodyStream();
      if (auto length = t.request.valueForHTTPHeaderField("Content-Length")) {
        char* end = nullptr;
        long long value = std::strtoll(length->c_str(), &end, 10);
        if (end && *end == '\0' && value >= 0) t.bodyLength = value;
      }
    }
    if (!t.body) return true;
    t.body->open();
    if (t.body->streamStatus() == InputStream::Status::Error) {
      fail(t, makeURLError(URLErrorRequestBodyStreamExhausted, t.request.url()));
      return false;
    }
    bool stream = t.setup.body == TaskSetup::Body::Stream || (t.setup.body == TaskSetup::Body::None && !t.request.httpBody());
    t.task->bytesExpectedToSend_ = stream ? kURLSessionTransferSizeUnknown : t.bodyLength;
    return true;
  }

  void resetAttempt(Transfer& t) {
    t.phase = Transfer::Phase::Headers;
    t.status = 0;
    t.httpVersion.clear();
    t.headers = {};
    t.setCookies.clear();
    t.heldBody.clear();
    t.response.reset();
    t.responseDecided = false;
    t.awaitingResponse = false;
    t.done = false;
    t.doneCode = CURLE_OK;
    t.pauses &= Transfer::Suspended;
  }

  void beginAttempt(Transfer& t) {
    resetAttempt(t);
    const auto& url = t.request.url();
    if (!url || !url->host()) return fail(t, makeURLError(URLErrorBadURL, url));
    std::string scheme = lower(url->scheme().value_or(""));
    if (scheme != "http" && scheme != "https") return fail(t, makeURLError(URLErrorUnsupportedURL, url));
    if (!t.body && !openBody(t)) return;
    {
      std::lock_guard lock(t.task->mutex_);
      t.task->currentRequest_ = t.request;
    }
    double timeout = t.request.timeoutInterval() > 0 ? t.request.timeoutInterval() : core.config_.timeoutIntervalForRequest;
    t.idleTimeout = timeout > 0 ? timeout : 60;
    configure(t);
    t.attemptStart = foundation::Date::now();
    t.touch();
    curl_multi_add_handle(multi, t.easy);
    t.inMulti = true;
    if (t.pauses) applyPause(t);
  }

  // ---- configuring the easy handle --------------------------------------------------------

  void configure(Transfer& t) {
    if (!t.easy) t.easy = curl_easy_init();
    else curl_easy_reset(t.easy);
    if (t.headerList) curl_slist_free_all(t.headerList);
    t.headerList = nullptr;
    CURL* e = t.easy;
    const URL& url = *t.request.url();
    std::string text = url.absoluteURL().parts().compose();
    if (auto hash = text.find('#'); hash != std::string::npos) text.erase(hash);
    curl_easy_setopt(e, CURLOPT_URL, text.c_str());
    curl_easy_setopt(e, CURLOPT_PRIVATE, &t);
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    // Connections are direct: no proxy from the environment may redirect traffic.
    curl_easy_setopt(e, CURLOPT_PROXY, "");
    curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(e, CURLOPT_BUFFERSIZE, 256L * 1024);
    curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, &Engine::headerCallback);
    curl_easy_setopt(e, CURLOPT_HEADERDATA, &t);
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &Engine::writeCallback);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, &t);
    configureTLS(t);
    configureMethod(t);
    configureHeaders(t);
  }

  void configureTLS(Transfer& t) {
    CURL* e = t.easy;
    // Trust is decided by our own verify callback inside the handshake, so curl's own checks
    // are off and TLS sessions are not resumed (a resumed session would skip the challenge).
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 0L);
    curl_easy_setopt(e, CURLOPT_SSL_SESSIONID_CACHE, 0L);
    curl_easy_setopt(e, CURLOPT_SSL_CTX_FUNCTION, &Engine::sslContextCallback);
    curl_easy_setopt(e, CURLOPT_SSL_CTX_DATA, &t);
  }

  void configureMethod(Transfer& t) {
    CURL* e = t.easy;
    const std::string& method = t.request.httpMethod();
    if (method == "HEAD") {
      curl_easy_setopt(e, CURLOPT_NOBODY, 1L);
      return;
    }
    if (t.body) {
      curl_easy_setopt(e, CURLOPT_POST, 1L);
      curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(t.bodyLength));
      curl_easy_setopt(e, CURLOPT_READFUNCTION, &Engine::readCallback);
      curl_easy_setopt(e, CURLOPT_READDATA, &t);
      if (method != "POST") curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, method.c_str());
      return;
    }
    if (method == "POST") {
      curl_easy_setopt(e, CURLOPT_POSTFIELDS, "");
      curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(0));
      return;
    }
    if (method != "GET") curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, method.c_str());
  }

  void addHeader(Transfer& t, const std::string& line) { t.headerList = curl_slist_append(t.headerList, line.c_str()); }

  void configureHeaders(Transfer& t) {
    const URL& url = *t.request.url();
    HTTPHeaderFields fields = t.request.allHTTPHeaderFields();
    for (const auto& [name, value] : core.config_.httpAdditionalHeaders) {
      if (!fields.contains(name)) fields.set(name, value);
    }
    if (t.credentialInUse && t.credentialInUse->user()) {
      fields.set("Authorization", "Basic " + base64(*t.credentialInUse->user() + ":" +
                                                    t.credentialInUse->password().value_or("")));
    }
    auto storage = core.config_.httpCookieStorage;
    if (storage && core.config_.httpShouldSetCookies && t.request.httpShouldHandleCookies() && !fields.contains("Cookie")) {
      if (auto cookie = HTTPCookie::requestHeaderValue(storage->cookiesForURL(url))) fields.set("Cookie", *cookie);
    }
    if (t.download && t.resumeOffset > 0) {
      fields.set("Range", "bytes=" + std::to_string(t.resumeOffset) + "-");
      if (t.validator && !t.validator->empty()) fields.set("If-Range", *t.validator);
    }
    // curl sends and decodes the offered encodings itself; without an offer, the common ones.
    auto encoding = fields.value("Accept-Encoding");
    fields.remove("Accept-Encoding");
    curl_easy_setopt(t.easy, CURLOPT_ACCEPT_ENCODING, encoding ? encoding->c_str() : "gzip, deflate");
    if (t.body) {
      fields.remove("Transfer-Encoding");
      if (t.bodyLength >= 0) fields.remove("Content-Length");
      if (!fields.contains("Content-Type")) addHeader(t, "Content-Type:");
    }
    if (!fields.contains("Expect")) addHeader(t, "Expect:");
    for (const auto& [name, value] : fields) addHeader(t, value.empty() ? name + ";" : name + ": " + value);
    curl_easy_setopt(t.easy, CURLOPT_HTTPHEADER, t.headerList);
  }

  // ---- pauses -----------------------------------------------------------------------------

  void applyPause(Transfer& t) {
    if (!t.inMulti || t.done) return;
    curl_easy_pause(t.easy, t.pauses ? CURLPAUSE_ALL : CURLPAUSE_CONT);
  }

  // ---- curl callbacks ---------------------------------------------------------------------

  static size_t headerCallback(char* data, size_t size, size_t count, void* user) {
    auto& t = *static_cast<Transfer*>(user);
    t.core->engine_->onHeader(t, std::string_view(data, size * count));
    return size * count;
  }

  static size_t writeCallback(char* data, size_t size, size_t count, void* user) {
    auto& t = *static_cast<Transfer*>(user);
    return t.core->engine_->onData(t, reinterpret_cast<const std::uint8_t*>(data), size * count);
  }

  static size_t readCallback(char* buffer, size_t size, size_t count, void* user) {
    auto& t = *static_cast<Transfer*>(user);
    return t.core->engine_->onRead(t, reinterpret_cast<std::uint8_t*>(buffer), size * count);
  }

  static CURLcode sslContextCallback(CURL*, void* context, void* user) {
    auto* ctx = static_cast<SSL_CTX*>(context);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    SSL_CTX_set_cert_verify_callback(ctx, &Engine::verifyCallback, user);
    return CURLE_OK;
  }

  static int verifyCallback(X509_STORE_CTX* store, void* user) {
    auto& t = *static_cast<Transfer*>(user);
    bool accepted = t.core->engine_->onServerTrust(t, store);
    X509_STORE_CTX_set_error(store, accepted ? X509_V_OK : X509_V_ERR_CERT_REJECTED);
    return accepted ? 1 : 0;
  }

  void onHeader(Transfer& t, std::string_view raw) {
    t.touch();
    std::string line = trim(raw);
    if (line.rfind("HTTP/", 0) == 0) {
      auto space = line.find(' ');
      t.httpVersion = line.substr(0, space);
      t.status = space == std::string::npos ? 0 : std::atoi(line.c_str() + space + 1);
      t.headers = {};
      t.setCookies.clear();
      t.phase = Transfer::Phase::Headers;
      return;
    }
    if (line.empty()) {
      if (t.status >= 200 && t.phase == Transfer::Phase::Headers) endOfHeaders(t);
      return;
    }
    auto colon = line.find(':');
    if (colon == std::string::npos) return;
    std::string name = trim(line.substr(0, colon));
    std::string value = trim(line.substr(colon + 1));
    t.headers.add(name, value);
    if (HTTPHeaderFields::namesEqual(name, "Set-Cookie")) t.setCookies.push_back(value);
  }

  void endOfHeaders(Transfer& t) {
    const URL& url = *t.request.url();
    storeCookies(t, url);
    static constexpr int kRedirects[] = {301, 302, 303, 307, 308};
    if (std::find(std::begin(kRedirects), std::end(kRedirects), t.status) != std::end(kRedirects) &&
        t.headers.contains("Location")) {
      t.phase = Transfer::Phase::Redirect;
      return;
    }
    if (t.status == 401 && basicRealm(t.headers.value("WWW-Authenticate").value_or(""))) {
      t.phase = Transfer::Phase::Authenticate;
      return;
    }
    if (t.credentialInUse && t.authSpace) rememberCredential(t);
    setFinalResponse(t);
    if (t.download) beginDownloadBody(t);
  }

  void storeCookies(Transfer& t, const URL& url) {
    auto storage = core.config_.httpCookieStorage;
    if (!storage || !core.config_.httpShouldSetCookies || !t.request.httpShouldHandleCookies()) return;
    storage->setCookies(HTTPCookie::cookiesWithResponseHeaderFields(t.setCookies, url));
  }

  void rememberCredential(Transfer& t) {
    auto storage = core.config_.urlCredentialStorage;
    if (!storage || t.credentialInUse->persistence() == URLCredentialPersistence::None) return;
    storage->setCredential(t.credentialInUse, *t.authSpace);
    if (!storage->defaultCredentialForProtectionSpace(*t.authSpace)) storage->setDefaultCredential(t.credentialInUse, *t.authSpace);
  }

  void setFinalResponse(Transfer& t) {
    t.phase = Transfer::Phase::Normal;
    t.response = std::make_shared<HTTPURLResponse>(*t.request.url(), t.status, t.httpVersion, t.headers);
    if (!t.validator || t.validator->empty()) {
      if (auto etag = t.headers.value("ETag")) t.validator = *etag;
      else if (auto modified = t.headers.value("Last-Modified")) t.validator = *modified;
    }
    std::lock_guard lock(t.task->mutex_);
    t.task->response_ = t.response;
    std::int64_t expected = t.response->expectedContentLength();
    if (t.download && t.status == 206 && expected >= 0) expected += t.resumeOffset;
    t.task->bytesExpectedToReceive_ = expected;
  }

  void beginDownloadBody(Transfer& t) {
    t.responseDecided = true;
    if (t.resumeOffset == 0) return;
    if (t.status != 206) {
      // The server sent the whole resource again: start the file over.
      std::fclose(t.file);
      t.file = std::fopen(t.filePath.c_str(), "wb");
      // Without a file the first body bytes fail the task as a write failure.
      bufferFile(t);
      t.resumeOffset = 0;
      t.reservedTo = 0;
    }
    t.written = t.resumeOffset;
    t.task->bytesReceived_ = t.written;
    {
      std::lock_guard lock(t.pendingProgress->mutex);
      t.pendingProgress->reported = t.written;
    }
    if (t.usesHandler()) return;
    auto task = std::static_pointer_cast<URLSessionDownloadTask>(t.task);
    std::int64_t offset = t.resumeOffset, expected = t.task->bytesExpectedToReceive_.load();
    core.deliverCallback(URLSessionCallback::DownloadTaskDidResume, [task, offset, expected](URLSessionDelegate& d, const URLSessionPtr& s) {
      d.didResumeAtOffset(s, task, offset, expected);
    });
  }

  size_t onData(Transfer& t, const std::uint8_t* data, size_t n) {
    t.touch();
    if (t.phase == Transfer::Phase::Redirect || t.phase == Transfer::Phase::Authenticate) {
      if (t.heldBody.size() + n <= kHeldBodyLimit) t.heldBody.insert(t.heldBody.end(), data, data + n);
      return n;
    }
    if (t.phase == Transfer::Phase::Headers) return n;  // no status line: nothing to deliver to
    if (!t.responseDecided) {
      if (!t.awaitingResponse) askResponse(t);
      if (!t.responseDecided) {
        t.pauses |= Transfer::AwaitingDelegate;
        return CURL_WRITEFUNC_PAUSE;
      }
    }
    auto& pending = *t.pendingData;
    if (!t.download && !t.usesHandler() && pending.undelivered.load() > pending.kFlowHighWater) {
      pending.flowWaiting.store(true);
      t.pauses |= Transfer::FlowControl;
      // The delivery may have drained between the check and the flag; re-check so no wake-up is lost.
      if (pending.undelivered.load() <= pending.kFlowLowWater) t.pauses &= ~Transfer::FlowControl;
      else return CURL_WRITEFUNC_PAUSE;
    }
    return consume(t, data, n) ? n : 0;
  }

  // Hands body bytes to the file, the collected body or the delegate; false on a write failure.
  bool consume(Transfer& t, const std::uint8_t* data, size_t n) {
    t.task->bytesReceived_ += static_cast<std::int64_t>(n);
    if (t.download) return writeDownload(t, data, n);
    if (t.usesHandler()) return collect(t, data, n);
    if (t.pendingData->append(data, n)) scheduleData(t);
    return true;
  }

  // Queues a delivery of every chunk handed over by then; chunks handed over while it waits join it.
  void scheduleData(Transfer& t) {
    auto pending = t.pendingData;
    auto task = std::static_pointer_cast<URLSessionDataTask>(t.task);
    auto self = core.shared_from_this();
    core.deliver([self, task, pending] {
      auto chunks = pending->take();
      for (const auto& chunk : chunks) {
        self->callDelegate(URLSessionCallback::DataTaskDidReceiveData,
                           [&](URLSessionDelegate& d, const URLSessionPtr& s) { d.didReceiveData(s, task, chunk); });
      }
      if (pending->recycle(std::move(chunks)) > pending->kFlowLowWater || !pending->flowWaiting.exchange(false)) return;
      self->post([self, id = task->taskIdentifier()] { self->engine_->flowDrained(id); });
    });
  }

  // Gathers the body for a completion handler, with room for the announced length made at once
  // so that a large body is not copied over and over as it grows.
  bool collect(Transfer& t, const std::uint8_t* data, size_t n) {
    if (t.collected.empty()) {
      const std::int64_t expected = t.task->bytesExpectedToReceive_.load();
      if (expected > 0 && expected <= kLargestReservedBody) t.collected.reserve(static_cast<std::size_t>(expected));
    }
    t.collected.insert(t.collected.end(), data, data + n);
    return true;
  }

  bool writeDownload(Transfer& t, const std::uint8_t* data, size_t n) {
    if (t.file) reserveBlocks(t, n);
    if (!t.file || std::fwrite(data, 1, n, t.file) != n) {
      t.failure = makeURLError(URLErrorCannotWriteToFile, t.request.url());
      return false;
    }
    t.written += static_cast<std::int64_t>(n);
    if (!t.usesHandler()) t.progressUnsent = true;
    return true;
  }

  // Reserves the file's blocks a stretch ahead of the write about to happen when the length is
  // announced, so that the file system allocates once per stretch rather than once per page. A
  // stretch at a time, so that a server announcing more than it sends holds little disk space.
  // Writing works without the reservation, so a file system that refuses it is left alone.
  void reserveBlocks(Transfer& t, size_t n) {
    const std::int64_t end = t.written + static_cast<std::int64_t>(n);
    if (end <= t.reservedTo) return;
    const std::int64_t expected = t.task->bytesExpectedToReceive_.load();
    const std::int64_t from = std::max(t.reservedTo, t.written);
    if (expected <= from) return;
    const std::int64_t to = std::min(expected, std::max(end, from + kReserveAheadBytes));
    const bool reserved = ::fallocate(::fileno(t.file), FALLOC_FL_KEEP_SIZE, from, to - from) == 0;
    t.reservedTo = reserved ? to : std::numeric_limits<std::int64_t>::max();
  }

  // Gives back blocks reserved past the end of the file, which the body did not fill. For a
  // flushed file only.
  void releaseBlocks(Transfer& t) {
    if (t.reservedTo <= t.written || t.reservedTo == std::numeric_limits<std::int64_t>::max()) return;
    if (::ftruncate(::fileno(t.file), t.written) == 0) t.reservedTo = t.written;
  }

  // Queues a progress report, unless one is already waiting: reports queued behind one another
  // merge into the latest, as bytes do for data tasks.
  void scheduleProgress(Transfer& t) {
    t.progressUnsent = false;
    auto progress = t.pendingProgress;
    {
      std::lock_guard lock(progress->mutex);
      progress->total = t.written;
      progress->expected = t.task->bytesExpectedToReceive_.load();
      if (progress->scheduled) return;
      progress->scheduled = true;
    }
    auto task = std::static_pointer_cast<URLSessionDownloadTask>(t.task);
    auto taken = std::make_shared<bool>(false);
    auto read = [progress, taken] {
      std::lock_guard lock(progress->mutex);
      if (std::exchange(*taken, true)) return std::make_tuple(std::int64_t(0), progress->reported, progress->expected);
      progress->scheduled = false;
      std::int64_t chunk = progress->total - progress->reported;
      progress->reported = progress->total;
      return std::make_tuple(chunk, progress->total, progress->expected);
    };
    core.deliverCallback(
        URLSessionCallback::DownloadTaskDidWriteData,
        [task, read](URLSessionDelegate& d, const URLSessionPtr& s) {
          auto [chunk, total, expected] = read();
          d.didWriteData(s, task, chunk, total, expected);
        },
        [read] { read(); });
  }

  size_t onRead(Transfer& t, std::uint8_t* buffer, size_t n) {
    t.touch();
    if (!t.body) return 0;
    long got = t.body->read(buffer, n);
    if (got < 0) {
      t.failure = makeURLError(URLErrorRequestBodyStreamExhausted, t.request.url());
      return CURL_READFUNC_ABORT;
    }
    if (got == 0) return 0;
    t.bodySent += got;
    t.task->bytesSent_ = t.bodySent;
    auto task = t.task;
    std::int64_t sent = got, total = t.bodySent, expected = t.task->bytesExpectedToSend_.load();
    core.deliverCallback(URLSessionCallback::TaskDidSendBodyData,
                         [task, sent, total, expected](URLSessionDelegate& d, const URLSessionPtr& s) {
                           d.didSendBodyData(s, task, sent, total, expected);
                         });
    return static_cast<size_t>(got);
  }

  // ---- the response decision --------------------------------------------------------------

  void askResponse(Transfer& t) {
    if (t.usesHandler() || t.download) {
      t.responseDecided = true;
      return;
    }
    t.awaitingResponse = true;
    auto task = std::static_pointer_cast<URLSessionDataTask>(t.task);
    std::shared_ptr<const URLResponse> response = t.response;
    auto self = core.shared_from_this();
    std::uint64_t id = task->taskIdentifier();
    ResponseCompletion answer = once<URLSessionResponseDisposition>([self, id](URLSessionResponseDisposition d) {
      self->post([self, id, d] { self->engine_->responseAnswered(id, d); });
    });
    core.deliverCallback(
        URLSessionCallback::DataTaskDidReceiveResponse,
        [task, response, answer](URLSessionDelegate& d, const URLSessionPtr& s) { d.didReceiveResponse(s, task, response, answer); },
        [answer] { answer(URLSessionResponseDisposition::Allow); });
  }

  void responseAnswered(std::uint64_t id, URLSessionResponseDisposition disposition) {
    Transfer* t = find(id);
    if (!t || !t->awaitingResponse) return;
    t->awaitingResponse = false;
    if (disposition == URLSessionResponseDisposition::Cancel) {
      return fail(*t, makeURLError(URLErrorCancelled, t->request.url()));
    }
    if (disposition == URLSessionResponseDisposition::BecomeDownload && !becomeDownload(*t)) return;
    t->responseDecided = true;
    t->pauses &= ~Transfer::AwaitingDelegate;
    t->touch();
    if (t->done) return finishSuccess(*t);
    applyPause(*t);
  }

  bool becomeDownload(Transfer& t) {
    auto dataTask = std::static_pointer_cast<URLSessionDataTask>(t.task);
    auto download = core.makeTask<URLSessionDownloadTask>(TaskSetup{}, t.request);
    {
      std::lock_guard lock(core.mutex_);
      core.setups_.erase(download->taskIdentifier());
      core.live_.erase(dataTask->taskIdentifier());
    }
    {
      std::lock_guard lock(dataTask->mutex_);
      dataTask->state_ = URLSessionTaskState::Completed;
    }
    {
      std::lock_guard lock(download->mutex_);
      download->state_ = URLSessionTaskState::Running;
      download->started_ = true;
      download->response_ = t.response;
    }
    download->bytesExpectedToReceive_ = dataTask->bytesExpectedToReceive_.load();
    auto owned = std::move(transfers[dataTask->taskIdentifier()]);
    transfers.erase(dataTask->taskIdentifier());
    t.task = download;
    t.download = true;
    transfers.emplace(download->taskIdentifier(), std::move(owned));
    core.deliverCallback(URLSessionCallback::DataTaskDidBecomeDownloadTask,
                         [dataTask, download](URLSessionDelegate& d, const URLSessionPtr& s) {
                           d.didBecomeDownloadTask(s, dataTask, download);
                         });
    return openDownloadFile(t);
  }

  // ---- end of an attempt ------------------------------------------------------------------

  void processDone() {
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(multi, &left)) {
      if (message->msg != CURLMSG_DONE) continue;
      Transfer* t = nullptr;
      curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &t);
      if (!t) continue;
      CURLcode code = message->data.result;
      curl_multi_remove_handle(multi, t->easy);
      t->inMulti = false;
      t->done = true;
      t->doneCode = code;
      attemptFinished(*t);
    }
  }

  void recordTransaction(Transfer& t) {
    URLSessionTaskTransactionMetrics m;
    m.request = t.request;
    m.response = t.response;
    if (!m.response && t.status) m.response = std::make_shared<HTTPURLResponse>(*t.request.url(), t.status, t.httpVersion, t.headers);
    m.fetchStartDate = t.attemptStart;
    auto at = [&](CURLINFO info) -> std::optional<foundation::Date> {
      curl_off_t us = 0;
      if (curl_easy_getinfo(t.easy, info, &us) != CURLE_OK || us <= 0) return std::nullopt;
      return t.attemptStart.addingTimeInterval(static_cast<double>(us) / 1e6);
    };
    long connects = 0;
    curl_easy_getinfo(t.easy, CURLINFO_NUM_CONNECTS, &connects);
    m.isReusedConnection = connects == 0;
    if (!m.isReusedConnection) {
      m.domainLookupStartDate = t.attemptStart;
      m.domainLookupEndDate = at(CURLINFO_NAMELOOKUP_TIME_T);
      m.connectStartDate = m.domainLookupEndDate;
      m.connectEndDate = at(CURLINFO_CONNECT_TIME_T);
      if (auto tls = at(CURLINFO_APPCONNECT_TIME_T)) {
        m.secureConnectionStartDate = m.connectEndDate;
        m.secureConnectionEndDate = tls;
        m.connectEndDate = tls;
      }
    }
    m.requestStartDate = at(CURLINFO_PRETRANSFER_TIME_T);
    m.requestEndDate = m.requestStartDate;
    m.responseStartDate = at(CURLINFO_STARTTRANSFER_TIME_T);
    m.responseEndDate = foundation::Date::now();
    long version = 0;
    curl_easy_getinfo(t.easy, CURLINFO_HTTP_VERSION, &version);
    if (version == CURL_HTTP_VERSION_2_0) m.networkProtocolName = "h2";
    else if (version == CURL_HTTP_VERSION_1_1) m.networkProtocolName = "http/1.1";
    else if (version == CURL_HTTP_VERSION_1_0) m.networkProtocolName = "http/1.0";
    t.transactions.push_back(std::move(m));
  }

  void attemptFinished(Transfer& t) {
    recordTransaction(t);
    if (t.failure) return fail(t, *t.failure);
    if (t.doneCode != CURLE_OK) return fail(t, errorForCode(t));
    switch (t.phase) {
      case Transfer::Phase::Redirect: return handleRedirect(t);
      case Transfer::Phase::Authenticate: return handleAuthentication(t);
      case Transfer::Phase::Headers: return fail(t, makeURLError(URLErrorBadServerResponse, t.request.url()));
      case Transfer::Phase::Normal: break;
    }
    if (!t.responseDecided) {
      if (!t.awaitingResponse) askResponse(t);
      if (!t.responseDecided) return;  // finishSuccess runs when the delegate answers
    }
    finishSuccess(t);
  }

  foundation::Error errorForCode(Transfer& t) {
    if (t.trustFailureCode) return makeURLError(*t.trustFailureCode, t.request.url());
    long osErrno = 0;
    curl_easy_getinfo(t.easy, CURLINFO_OS_ERRNO, &osErrno);
    long code = urlErrorForCurl(t.doneCode, osErrno);
    auto underlying = std::make_shared<foundation::Error>(foundation::Error::withDescription(
        "CURLErrorDomain", static_cast<long>(t.doneCode), curl_easy_strerror(t.doneCode)));
    return makeURLError(code, t.request.url(), underlying);
  }

  // ---- redirects --------------------------------------------------------------------------

  void handleRedirect(Transfer& t) {
    const URL& current = *t.request.url();
    auto target = URL::fromString(*t.headers.value("Location"), current);
    if (!target || !target->host()) return finalizeHeldResponse(t);
    if (++t.redirectCount > kMaximumRedirects) return fail(t, makeURLError(URLErrorHTTPTooManyRedirects, t.request.url()));
    URLRequest next = t.request;
    next.setURL(target->absoluteURL());
    bool toGet = t.status == 303 ? t.request.httpMethod() != "HEAD"
                                 : (t.status == 301 || t.status == 302) && t.request.httpMethod() == "POST";
    if (toGet) {
      next.setHTTPMethod("GET");
      next.setHTTPBody(std::nullopt);
      next.setHTTPBodyStream(nullptr);
      next.setValue(std::nullopt, "Content-Type");
      next.setValue(std::nullopt, "Content-Length");
    }
    // Credentials meant for one server never follow a redirect to another.
    if (!sameOrigin(current, *target)) {
      next.setValue(std::nullopt, "Authorization");
      t.credentialInUse.reset();
    }
    auto response = std::make_shared<HTTPURLResponse>(current, t.status, t.httpVersion, t.headers);
    auto task = t.task;
    auto self = core.shared_from_this();
    std::uint64_t id = task->taskIdentifier();
    bool dropBody = toGet;
    RedirectCompletion answer = once<std::optional<URLRequest>>([self, id, dropBody](std::optional<URLRequest> request) {
      self->post([self, id, request, dropBody] { self->engine_->redirectAnswered(id, request, dropBody); });
    });
    core.deliverCallback(
        URLSessionCallback::TaskWillPerformHTTPRedirection,
        [task, response, next, answer](URLSessionDelegate& d, const URLSessionPtr& s) {
          d.willPerformHTTPRedirection(s, task, response, next, answer);
        },
        [answer, next] { answer(next); });
  }

  void redirectAnswered(std::uint64_t id, const std::optional<URLRequest>& request, bool dropBody) {
    Transfer* t = find(id);
    if (!t || !t->done) return;
    if (!request) return finalizeHeldResponse(*t);
    t->request = *request;
    if (dropBody || (!request->httpBody() && !request->httpBodyStream() && t->setup.body == TaskSetup::Body::None)) {
      t->setup.body = TaskSetup::Body::None;
    }
    restart(*t);
  }

  // The redirect or 401 response becomes the task's final response, with its held body.
  void finalizeHeldResponse(Transfer& t) {
    setFinalResponse(t);
    if (t.download) t.responseDecided = true;
    if (!t.responseDecided) {
      askResponse(t);
      if (!t.responseDecided) return;
    }
    finishSuccess(t);
  }

  // Sends the (new) current request again, with a fresh body.
  void restart(Transfer& t) {
    if (t.body && t.setup.body == TaskSetup::Body::Stream) return restartWithNewStream(t);
    t.body.reset();
    if (t.setup.body == TaskSetup::Body::None && !t.request.httpBody() && t.request.httpBodyStream()) {
      return restartWithNewStream(t);
    }
    beginAttempt(t);
  }

  void restartWithNewStream(Transfer& t) {
    auto task = t.task;
    auto self = core.shared_from_this();
    std::uint64_t id = task->taskIdentifier();
    std::shared_ptr<InputStream> fallbackStream = t.body ? t.body->copy() : nullptr;
    BodyStreamCompletion answer = once<std::shared_ptr<InputStream>>([self, id](std::shared_ptr<InputStream> stream) {
      self->post([self, id, stream] { self->engine_->newStreamAnswered(id, stream); });
    });
    core.deliverCallback(
        URLSessionCallback::TaskNeedNewBodyStream,
        [task, answer](URLSessionDelegate& d, const URLSessionPtr& s) { d.needNewBodyStream(s, task, answer); },
        [answer, fallbackStream] { answer(fallbackStream); });
  }

  void newStreamAnswered(std::uint64_t id, const std::shared_ptr<InputStream>& stream) {
    Transfer* t = find(id);
    if (!t) return;
    if (!stream) return fail(*t, makeURLError(URLErrorRequestBodyStreamExhausted, t->request.url()));
    t->setup.body = TaskSetup::Body::Stream;
    t->setup.stream = stream;
    t->body.reset();
    beginAttempt(*t);
  }

  // ---- HTTP Basic authentication -----------------------------------------------------------

  void handleAuthentication(Transfer& t) {
    const URL& url = *t.request.url();
    auto realm = basicRealm(t.headers.value("WWW-Authenticate").value_or(""));
    URLProtectionSpace space(url.host().value_or(""), defaultPort(url), lower(url.scheme().value_or("")),
                             realm && !realm->empty() ? realm : std::nullopt, std::string(kURLAuthenticationMethodHTTPBasic));
    t.authSpace = space;
    auto storage = core.config_.urlCredentialStorage;
    std::shared_ptr<const URLCredential> proposed = t.credentialInUse;
    if (!proposed && storage) proposed = storage->defaultCredentialForProtectionSpace(space);
    auto response = std::make_shared<HTTPURLResponse>(url, t.status, t.httpVersion, t.headers);
    auto challenge = std::make_shared<URLAuthenticationChallenge>(space, proposed, t.authFailures, response, std::nullopt);
    auto self = core.shared_from_this();
    std::uint64_t id = t.task->taskIdentifier();
    ChallengeCompletion answer = once<URLSessionAuthChallengeDisposition, std::shared_ptr<const URLCredential>>(
        [self, id](URLSessionAuthChallengeDisposition d, std::shared_ptr<const URLCredential> c) {
          self->post([self, id, d, c] { self->engine_->authenticationAnswered(id, d, c); });
        });
    askChallenge(t.task, challenge, answer, false);
  }

  // Asks the task-level challenge callback, then (for server trust) the session-level one,
  // then answers default handling.
  void askChallenge(const std::shared_ptr<URLSessionTask>& task, const std::shared_ptr<URLAuthenticationChallenge>& challenge,
                    ChallengeCompletion answer, bool sessionLevelToo) {
    auto self = core.shared_from_this();
    core.deliver([self, task, challenge, answer, sessionLevelToo] {
      auto delegate = self->delegate();
      auto session = self->session();
      auto tryCallback = [&](URLSessionCallback cb, const std::function<void()>& call) {
        return delegate && delegate->respondsTo(cb) && URLSessionDelegate::invoke(call);
      };
      if (tryCallback(URLSessionCallback::TaskDidReceiveChallenge,
                      [&] { delegate->taskDidReceiveChallenge(session, task, *challenge, answer); })) {
        return;
      }
      if (sessionLevelToo && tryCallback(URLSessionCallback::DidReceiveChallenge,
                                         [&] { delegate->didReceiveChallenge(session, *challenge, answer); })) {
        return;
      }
      answer(URLSessionAuthChallengeDisposition::PerformDefaultHandling, nullptr);
    });
  }

  void authenticationAnswered(std::uint64_t id, URLSessionAuthChallengeDisposition disposition,
                              const std::shared_ptr<const URLCredential>& credential) {
    Transfer* t = find(id);
    if (!t || !t->done) return;
    using D = URLSessionAuthChallengeDisposition;
    std::shared_ptr<const URLCredential> use;
    if (disposition == D::CancelAuthenticationChallenge) return fail(*t, makeURLError(URLErrorCancelled, t->request.url()));
    if (disposition == D::UseCredential && credential && credential->user()) use = credential;
    if (disposition == D::PerformDefaultHandling || (disposition == D::UseCredential && !use)) use = defaultCredential(*t);
    if (!use) return finalizeHeldResponse(*t);
    t->credentialInUse = use;
    t->authFailures += 1;
    restart(*t);
  }

  // What default handling sends: on the first try, the stored default credential for the space
  // or the URL's own user and password; nothing once a credential has failed.
  std::shared_ptr<const URLCredential> defaultCredential(Transfer& t) {
    if (t.authFailures > 0) return nullptr;
    if (auto storage = core.config_.urlCredentialStorage) {
      if (auto stored = storage->defaultCredentialForProtectionSpace(*t.authSpace)) return stored;
    }
    const URL& url = *t.request.url();
    if (url.user()) return URLCredential::withUser(*url.user(), url.password().value_or(""), URLCredentialPersistence::None);
    return nullptr;
  }

  // ---- server trust ----------------------------------------------------------------------

  bool onServerTrust(Transfer& t, X509_STORE_CTX* store) {
    std::vector<security::Certificate> chain;
    auto append = [&](X509* x509) {
      int length = i2d_X509(x509, nullptr);
      if (length <= 0) return;
      foundation::Data der(static_cast<std::size_t>(length));
      unsigned char* out = der.data();
      i2d_X509(x509, &out);
      if (auto certificate = security::Certificate::createWithData(der)) {
        if (std::find(chain.begin(), chain.end(), *certificate) == chain.end()) chain.push_back(*certificate);
      }
    };
    if (X509* leaf = X509_STORE_CTX_get0_cert(store)) append(leaf);
    if (STACK_OF(X509)* untrusted = X509_STORE_CTX_get0_untrusted(store)) {
      for (int i = 0; i < sk_X509_num(untrusted); ++i) append(sk_X509_value(untrusted, i));
    }
    const URL& url = *t.request.url();
    std::string host = url.host().value_or("");
    auto trust = security::Trust::create(chain, {security::Policy::createSSL(true, host)});
    if (!trust) {
      t.trustFailureCode = URLErrorSecureConnectionFailed;
      return false;
    }
    auto challenge = std::make_shared<URLAuthenticationChallenge>(
        URLProtectionSpace::serverTrustSpace(host, defaultPort(url), trust), nullptr, 0, nullptr, std::nullopt);
    auto [disposition, credential] = awaitTrustAnswer(t, challenge);
    t.touch();
    using D = URLSessionAuthChallengeDisposition;
    if (disposition == D::CancelAuthenticationChallenge) {
      t.trustFailureCode = URLErrorCancelled;
      return false;
    }
    if (disposition == D::UseCredential && credential) return true;
    // Default handling (also for a rejected space or a missing credential) trusts only a chain
    // that verifies against the system's roots and names this host.
    security::TrustResult result = security::TrustResult::Invalid;
    if (trust->evaluate(result) == 0 &&
        (result == security::TrustResult::Unspecified || result == security::TrustResult::Proceed)) {
      return true;
    }
    t.trustFailureCode = URLErrorServerCertificateUntrusted;
    return false;
  }

  std::pair<URLSessionAuthChallengeDisposition, std::shared_ptr<const URLCredential>> awaitTrustAnswer(
      Transfer& t, const std::shared_ptr<URLAuthenticationChallenge>& challenge) {
    auto waiter = std::make_shared<TrustWaiter>();
    std::uint64_t id = t.task->taskIdentifier();
    {
      std::lock_guard lock(waitersMutex);
      waiters[id] = waiter;
    }
    if (t.task->state() == URLSessionTaskState::Canceling) {
      waiter->set(URLSessionAuthChallengeDisposition::CancelAuthenticationChallenge, nullptr);
    } else {
      ChallengeCompletion answer = [waiter](URLSessionAuthChallengeDisposition d, std::shared_ptr<const URLCredential> c) {
        waiter->set(d, std::move(c));
      };
      askChallenge(t.task, challenge, answer, true);
    }
    std::unique_lock lock(waiter->mutex);
    waiter->cv.wait(lock, [&] { return waiter->answer.has_value(); });
    auto answer = *waiter->answer;
    lock.unlock();
    std::lock_guard guard(waitersMutex);
    waiters.erase(id);
    return answer;
  }

  // ---- completion ------------------------------------------------------------------------

  void finishSuccess(Transfer& t) {
    if (!t.heldBody.empty()) {
      auto held = std::move(t.heldBody);
      t.heldBody.clear();
      if (!consume(t, held.data(), held.size())) return fail(t, *t.failure);
    }
    handOver(t);
    if (!t.download) return complete(t, std::nullopt);
    if (std::fflush(t.file) != 0) return fail(t, makeURLError(URLErrorCannotWriteToFile, t.request.url()));
    releaseBlocks(t);
    std::fclose(t.file);
    t.file = nullptr;
    URL location = URL::fileURLWithPath(t.filePath);
    std::string path = t.filePath;
    t.filePath.clear();
    auto task = std::static_pointer_cast<URLSessionDownloadTask>(t.task);
    if (t.setup.downloadHandler) {
      auto handler = t.setup.downloadHandler;
      auto response = t.response;
      t.setup.downloadHandler = nullptr;
      t.setup.dataHandler = nullptr;
      core.deliver([handler, location, response, path] {
        handler(location, response, std::nullopt);
        ::unlink(path.c_str());
      });
      return complete(t, std::nullopt, true);
    }
    core.deliverCallback(URLSessionCallback::DownloadTaskDidFinishDownloading,
                         [task, location](URLSessionDelegate& d, const URLSessionPtr& s) {
                           d.didFinishDownloadingToURL(s, task, location);
                         });
    core.deliver([path] { ::unlink(path.c_str()); });
    complete(t, std::nullopt);
  }

  std::optional<foundation::Data> resumeDataFor(Transfer& t) {
    if (!t.download || t.written <= 0 || !t.validator || t.validator->empty() || t.request.httpMethod() != "GET") {
      return std::nullopt;
    }
    // Bytes still in the file's buffer that cannot be written would leave a gap a resume fills wrongly.
    if (t.file && std::fflush(t.file) != 0) return std::nullopt;
    if (t.file) releaseBlocks(t);
    ResumeData data{t.request, t.filePath, t.written, *t.validator};
    data.request.setValue(std::nullopt, "Range");
    data.request.setValue(std::nullopt, "If-Range");
    return data.encode();
  }

  void fail(Transfer& t, foundation::Error error) {
    if (t.inMulti) {
      curl_multi_remove_handle(multi, t.easy);
      t.inMulti = false;
    }
    if (t.download && error.code() != URLErrorCancelled && !t.filePath.empty()) {
      if (auto data = resumeDataFor(t)) {
        error.mutableUserInfo().set(kURLSessionDownloadTaskResumeData, *data);
        t.filePath.clear();
      }
    }
    complete(t, std::move(error));
  }

  void complete(Transfer& t, std::optional<foundation::Error> error, bool handlerDone = false) {
    handOver(t);
    auto task = t.task;
    auto metrics = std::make_shared<URLSessionTaskMetrics>();
    metrics->transactionMetrics = std::move(t.transactions);
    metrics->redirectCount = t.redirectCount;
    metrics->taskInterval = {t.taskStart, foundation::Date::now().timeIntervalSince(t.taskStart)};
    if (t.file) {
      std::fclose(t.file);
      t.file = nullptr;
    }
    if (!t.filePath.empty()) ::unlink(t.filePath.c_str());
    auto response = t.response;
    auto data = std::move(t.collected);
    auto setup = std::move(t.setup);
    transfers.erase(task->taskIdentifier());  // t is gone from here on
    finishTask(task, error, metrics, handlerDone ? TaskSetup{} : std::move(setup), response, std::move(data));
  }

  void completeUnstarted(const std::shared_ptr<URLSessionTask>& task, foundation::Error error) {
    TaskSetup setup;
    {
      std::lock_guard lock(core.mutex_);
      auto it = core.setups_.find(task->taskIdentifier());
      if (it == core.setups_.end() && !core.live_.count(task->taskIdentifier())) return;
      if (it != core.setups_.end()) {
        setup = std::move(it->second);
        core.setups_.erase(it);
      }
    }
    finishTask(task, error, nullptr, std::move(setup), nullptr, {});
  }

  void finishTask(const std::shared_ptr<URLSessionTask>& task, std::optional<foundation::Error> error,
                  std::shared_ptr<URLSessionTaskMetrics> metrics, TaskSetup setup,
                  std::shared_ptr<const URLResponse> response, foundation::Data data) {
    {
      std::lock_guard lock(task->mutex_);
      task->state_ = URLSessionTaskState::Completed;
      task->error_ = error;
    }
    {
      std::lock_guard lock(core.mutex_);
      core.live_.erase(task->taskIdentifier());
    }
    if (metrics) {
      std::shared_ptr<const URLSessionTaskMetrics> m = metrics;
      core.deliverCallback(URLSessionCallback::TaskDidFinishCollectingMetrics,
                           [task, m](URLSessionDelegate& d, const URLSessionPtr& s) { d.didFinishCollectingMetrics(s, task, m); });
    }
    if (setup.dataHandler) {
      auto handler = setup.dataHandler;
      std::optional<foundation::Data> body;
      if (!error) body = std::move(data);
      core.deliver([handler, body = std::move(body), response, error]() mutable {
        handler(std::move(body), response, error);
      });
    } else if (setup.downloadHandler) {
      auto handler = setup.downloadHandler;
      core.deliver([handler, response, error] { handler(std::nullopt, response, error); });
    } else {
      core.deliverCallback(URLSessionCallback::TaskDidComplete,
                           [task, error](URLSessionDelegate& d, const URLSessionPtr& s) { d.didCompleteWithError(s, task, error); });
    }
    checkInvalidation();
  }

  // ---- time-outs ---------------------------------------------------------------------------

  void checkTimeouts() {
    auto now = Clock::now();
    std::vector<std::uint64_t> expired;
    for (auto& [id, t] : transfers) {
      if (!t->inMulti || t->done) continue;
      bool idle = t->pauses == 0 && now - t->lastActivity > std::chrono::duration<double>(t->idleTimeout);
      if (idle || now > t->resourceDeadline) expired.push_back(id);
    }
    for (auto id : expired) {
      if (Transfer* t = find(id)) fail(*t, makeURLError(URLErrorTimedOut, t->request.url()));
    }
  }
};

// ---- SessionCore ------------------------------------------------------------------------------

SessionCore::SessionCore(URLSessionConfiguration configuration, std::shared_ptr<URLSessionDelegate> delegate,
                         std::shared_ptr<foundation::OperationQueue> delegateQueue)
    : config_(std::move(configuration)), delegateQueue_(std::move(delegateQueue)), delegate_(std::move(delegate)) {
  engine_ = std::make_unique<Engine>(*this);
}

SessionCore::~SessionCore() = default;

void SessionCore::start(const std::shared_ptr<URLSession>& session) {
  {
    std::lock_guard lock(mutex_);
    keepAlive_ = session;
    session_ = session;
  }
  std::thread([self = shared_from_this()] { self->run(); }).detach();
}

void SessionCore::run() {
  engine_->loop();
  std::lock_guard lock(commandMutex_);
  stopped_ = true;
  // Commands that raced with the stop still run, so no task is left waiting for an answer.
  for (auto& command : commands_) command();
  commands_.clear();
}

std::shared_ptr<URLSessionDelegate> SessionCore::delegate() const {
  std::lock_guard lock(mutex_);
  return delegate_;
}

std::shared_ptr<URLSession> SessionCore::session() const {
  std::lock_guard lock(mutex_);
  return keepAlive_ ? keepAlive_ : session_.lock();
}

void SessionCore::registerTask(const std::shared_ptr<URLSessionTask>& task, TaskSetup setup) {
  std::lock_guard lock(mutex_);
  live_.emplace(task->taskIdentifier(), task);
  setups_.emplace(task->taskIdentifier(), std::move(setup));
}

void SessionCore::post(std::function<void()> command) {
  {
    std::lock_guard lock(commandMutex_);
    if (stopped_) {
      // The engine thread has ended with the session's invalidation; what is left to do (failing
      // late tasks) touches no transfer in progress, so it runs here, one command at a time.
      command();
      return;
    }
    commands_.push_back(std::move(command));
  }
  curl_multi_wakeup(engine_->multi);
}

void SessionCore::deliver(std::function<void()> block) {
  std::lock_guard lock(deliveryMutex_);
  deliveries_.push_back(std::move(block));
  if (deliveryScheduled_) return;
  deliveryScheduled_ = true;
  delegateQueue_->addOperation([self = shared_from_this()] { self->drainOne(); });
}

void SessionCore::drainOne() {
  std::function<void()> block;
  {
    std::lock_guard lock(deliveryMutex_);
    block = std::move(deliveries_.front());
    deliveries_.pop_front();
  }
  block();
  std::lock_guard lock(deliveryMutex_);
  if (deliveries_.empty()) {
    deliveryScheduled_ = false;
    return;
  }
  delegateQueue_->addOperation([self = shared_from_this()] { self->drainOne(); });
}

void SessionCore::deliverCallback(URLSessionCallback callback,
                                  std::function<void(URLSessionDelegate&, const std::shared_ptr<URLSession>&)> call,
                                  std::function<void()> fallback) {
  deliver([self = shared_from_this(), callback, call = std::move(call), fallback = std::move(fallback)] {
    if (!self->callDelegate(callback, call) && fallback) fallback();
  });
}

bool SessionCore::callDelegate(URLSessionCallback callback,
                               const std::function<void(URLSessionDelegate&, const std::shared_ptr<URLSession>&)>& call) {
  auto delegate = this->delegate();
  auto session = this->session();
  return delegate && delegate->respondsTo(callback) && URLSessionDelegate::invoke([&] { call(*delegate, session); });
}

void SessionCore::taskResumed(const std::shared_ptr<URLSessionTask>& task) {
  post([self = shared_from_this(), task] { self->engine_->resume(task); });
}

void SessionCore::taskSuspended(const std::shared_ptr<URLSessionTask>& task) {
  post([self = shared_from_this(), id = task->taskIdentifier()] { self->engine_->suspend(id); });
}

void SessionCore::taskCancelled(const std::shared_ptr<URLSessionTask>& task) {
  engine_->wakeWaiter(task->taskIdentifier());
  post([self = shared_from_this(), task] { self->engine_->cancel(task, nullptr); });
}

void SessionCore::cancelProducingResumeData(const std::shared_ptr<URLSessionTask>& task,
                                            std::function<void(std::optional<foundation::Data>)> completion) {
  engine_->wakeWaiter(task->taskIdentifier());
  if (!completion) completion = [](std::optional<foundation::Data>) {};
  post([self = shared_from_this(), task, completion] { self->engine_->cancel(task, completion); });
}

std::vector<std::shared_ptr<URLSessionTask>> SessionCore::liveTasks() const {
  std::lock_guard lock(mutex_);
  std::vector<std::shared_ptr<URLSessionTask>> tasks;
  for (const auto& [id, task] : live_) tasks.push_back(task);
  return tasks;
}

void SessionCore::invalidate(bool cancelTasks) {
  if (invalidated_.exchange(true) && !cancelTasks) return;
  // A handshake waiting for a trust answer holds the engine thread; release it first.
  if (cancelTasks) engine_->wakeAllWaiters();
  post([self = shared_from_this(), cancelTasks] { self->engine_->invalidate(cancelTasks); });
}

std::string SessionCore::sessionDescription() const {
  std::lock_guard lock(mutex_);
  return description_;
}

void SessionCore::setSessionDescription(std::string description) {
  std::lock_guard lock(mutex_);
  description_ = std::move(description);
}

void SessionCore::setAssociatedObject(const std::string& key, std::shared_ptr<void> value) {
  std::lock_guard lock(mutex_);
  if (value) associated_[key] = std::move(value);
  else associated_.erase(key);
}

std::shared_ptr<void> SessionCore::associatedObject(const std::string& key) const {
  std::lock_guard lock(mutex_);
  auto it = associated_.find(key);
  return it == associated_.end() ? nullptr : it->second;
}

}  // namespace net::detail
