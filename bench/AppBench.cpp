// The main window with real-world blocklists: typing into, showing, relaunching with and
// refreshing hostfiles of 200,000 lines and of 50 MB, each beside an anchor measured in the same
// run. Not a test; nothing is asserted. Run by hand, on the offscreen platform:
//
//   bench_app typing [lines]    one key at the end of the text, key event to idle (main thread),
//                               beside the same key in a plain QPlainTextEdit holding the text
//   bench_app show [lines]      selecting the hostfile to the editor's first paint, beside
//                               QPlainTextEdit::setPlainText of the same text to its first paint
//   bench_app relaunch [MB]     a new process with that hostfile in the store, to its first window,
//                               and a row switch to the hostfile, beside `cat` of the same bytes
//   bench_app refresh [MB]      the single refresh of a remote hostfile over loopback, beside curl
//                               fetching the same URL; the longest main-thread stall meanwhile
//   bench_app apply [MB]        Apply of a hostfile, through the real shell runner (as root, so no
//                               password is asked) onto a temporary hosts file: the longest
//                               main-thread gap from the action to its outcome, with the syntax
//                               check before it and without, beside `cp` of the same bytes
//
// Each scenario runs in a child process of its own, so that its peak resident memory is its own;
// that peak is given beside the hostfile text's size. Every folder the application touches (data,
// defaults, hosts file) is a temporary one.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "app/AdministratorRun.h"
#include "app/AppDelegate.h"
#include "app/DefaultContextSaver.h"
#include "app/HostGroupFields.h"
#include "app/HostfileListModel.h"
#include "app/MainWindowController.h"
#include "app/QMTextView.h"
#include "app/RemoteRefresher.h"
#include "coredata/ContextCategories.h"
#include "coredata/DataStack.h"
#include "coredata/ObjectCategories.h"
#include "hostfiles/ChangeTracker.h"
#include "hostfiles/HostfilesModel.h"
#include "platform/appkit/AlertPresenter.h"
#include "platform/appkit/FakeAlertPresenter.h"
#include "platform/foundation/RunLoop.h"
#include "platform/foundation/SystemPaths.h"
#include "platform/foundation/UserDefaults.h"
#include "tests/platform/net/LoopbackServer.h"

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const std::size_t middle = values.size() / 2;
  return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// The process's peak resident memory (VmHWM), in MB.
double peakResidentMB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::atof(line.c_str() + 6) / 1024.0;
  }
  return 0;
}

// Rounds of the relaunch and refresh scenarios: QM_BENCH_ROUNDS, else 3.
int rounds() {
  const char* set = std::getenv("QM_BENCH_ROUNDS");
  const int n = set ? std::atoi(set) : 0;
  return n > 0 ? n : 3;
}

// A blocklist as the popular ones are: a header comment, then "0.0.0.0 name" lines.
std::string blocklist(std::size_t lines) {
  std::string text = "# Blocklist for the benchmark\n127.0.0.1 localhost\n::1 localhost\n";
  text.reserve(lines * 34);
  for (std::size_t i = 0; i < lines; ++i) {
    text += "0.0.0.0 ads";
    text += std::to_string(i);
    text += ".tracker-example.com\n";
  }
  return text;
}

std::string blocklistOfMB(double megabytes) {
  const double bytesPerLine = 34.0;
  return blocklist(static_cast<std::size_t>(megabytes * (1 << 20) / bytesPerLine));
}

std::size_t lineCount(const std::string& text) { return std::count(text.begin(), text.end(), '\n'); }

// --- the application in this process ---------------------------------------------------------

QApplication& qtApplication() {
  static QApplication* application = [] {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "bench_app";
    static char* argv[] = {name, nullptr};
    return new QApplication(argc, argv);
  }();
  return *application;
}

void pump() {
  QCoreApplication::processEvents(QEventLoop::AllEvents);
  foundation::RunLoop::main().processPending();
}

bool pumpUntil(const std::function<bool()>& condition, double seconds = 300) {
  const auto start = Clock::now();
  while (!condition()) {
    if (msSince(start) > seconds * 1000) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    foundation::RunLoop::main().processPending();
  }
  return true;
}

// Runs the events that are due now, until none is left: the state in which the main thread
// would next sleep.
void pumpToIdle() {
  for (int i = 0; i < 4; ++i) pump();
}

// Notes the first paint of a widget after arm().
class PaintWatch : public QObject {
 public:
  explicit PaintWatch(QWidget* widget) { widget->installEventFilter(this); }
  void arm() { painted_ = false; }
  bool painted() const { return painted_; }

 protected:
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Paint) painted_ = true;
    return false;
  }

 private:
  bool painted_ = false;
};

// Temporary folders for data, defaults and the hosts file, set before the application starts.
// A folder the sandbox made itself is removed with it.
struct Sandbox {
  std::string root;
  bool owned = false;

  static std::string make() {
    char pattern[] = "/tmp/qm-app-bench-XXXXXX";
    const char* made = ::mkdtemp(pattern);
    if (!made) {
      std::perror("mkdtemp");
      std::exit(2);
    }
    return made;
  }

  Sandbox() : Sandbox(make()) { owned = true; }
  ~Sandbox() {
    std::error_code ignored;
    if (owned) std::filesystem::remove_all(root, ignored);
  }
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;

  explicit Sandbox(std::string folder) : root(std::move(folder)) {
    for (const char* variable : {"HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_STATE_HOME"}) {
      ::setenv(variable, root.c_str(), 1);
    }
    std::ofstream(root + "/hosts") << "127.0.0.1 localhost\n";
    foundation::SystemPaths::setHostsFilePathForTesting(root + "/hosts");
    foundation::SystemPaths::setPrivilegedRunLogPathForTesting(root + "/quillmere.log");
    appkit::AlertPresenter::setShared(std::make_shared<appkit::FakeAlertPresenter>());
  }
};

// The application, launched as the application object would launch it.
struct Application {
  std::shared_ptr<app::AppDelegate> delegate;

  Application() {
    qtApplication();
    foundation::UserDefaults::standardUserDefaults().set(true, "askedToImportV1");
    foundation::UserDefaults::standardUserDefaults().synchronize();
    HostfilesModel::registerModel();
    delegate = std::make_shared<app::AppDelegate>();
    delegate->applicationDidFinishLaunching();
  }
  ~Application() {
    delegate->applicationWillTerminate();
    delegate.reset();
  }

  app::MainWindowController& window() { return delegate->mainWindowController(); }

  // Adds a hostfile holding `text` through a waiting save block and lists it.
  coredata::ManagedObjectPtr addHostfile(const std::string& text, app::HostGroupKind kind, const std::string& url = {}) {
    DataStack::saveWithBlockAndWait([&](const coredata::ManagedObjectContextPtr& local) {
      auto record = app::HostGroupFields::insertNewRecord(kind, local);
      record->setValueForKey(foundation::Value(text), "contents");
      record->setValueForKey(foundation::Value(std::string("Benchmark")), "title");
      if (!url.empty()) record->setValueForKey(foundation::Value(url), "remoteURL");
    });
    window().listModel()->refresh();
    for (const auto& record : window().listModel()->arrangedObjects()) {
      if (app::HostGroupFields::title(*record) == "Benchmark") return record;
    }
    return nullptr;
  }
};

// Shows `record` in the editor and waits for its first paint; returns the time taken, in ms.
double showAndPaint(app::MainWindowController& window, const coredata::ManagedObjectPtr& record) {
  PaintWatch watch(window.codeView()->viewport());
  watch.arm();
  const auto start = Clock::now();
  window.selectHostGroup(record);
  pumpUntil([&] { return watch.painted(); });
  return msSince(start);
}

// --- typing ------------------------------------------------------------------------------------

int typing(std::size_t lines) {
  Sandbox sandbox;
  const std::string text = blocklist(lines);
  constexpr int kKeys = 25;
  std::vector<double> ours, plain;
  double commit = 0;
  {
    Application application;
    auto& window = application.window();
    window.window()->resize(1000, 700);
    const auto record = application.addHostfile(text, app::HostGroupKind::Local);
    showAndPaint(window, record);
    app::QMTextView* view = window.codeView();
    view->setFocus();
    QTest::keyClick(view, Qt::Key_End, Qt::ControlModifier);
    pumpToIdle();
    for (int i = 0; i < kKeys; ++i) {
      const auto start = Clock::now();
      QTest::keyClick(view, Qt::Key_X);
      pumpToIdle();
      ours.push_back(msSince(start));
    }
    // The coalesced hand-over of the text to the record, once typing pauses.
    const auto start = Clock::now();
    window.commitPendingEdits();
    commit = msSince(start);
    if (app::HostGroupFields::contentsProxy(*record).value_or("") != text + std::string(kKeys, 'x')) {
      std::fprintf(stderr, "typing: the record does not hold what was typed\n");
      return 1;
    }
  }
  {
    QPlainTextEdit edit;
    edit.setLineWrapMode(QPlainTextEdit::NoWrap);
    edit.resize(1000, 700);
    edit.show();
    edit.setPlainText(QString::fromStdString(text));
    pumpToIdle();
    edit.setFocus();
    QTest::keyClick(&edit, Qt::Key_End, Qt::ControlModifier);
    pumpToIdle();
    for (int i = 0; i < kKeys; ++i) {
      const auto start = Clock::now();
      QTest::keyClick(&edit, Qt::Key_X);
      pumpToIdle();
      plain.push_back(msSince(start));
    }
  }
  std::printf("typing one key at the end of %zu lines (%.1f MB), median of %d keys\n", lineCount(text),
              text.size() / 1048576.0, kKeys);
  std::printf("  quillmere editor       %7.2f ms (max %.2f ms; target 16 ms)\n", median(ours),
              *std::max_element(ours.begin(), ours.end()));
  std::printf("  plain QPlainTextEdit   %7.2f ms (max %.2f ms)   ratio %.2f\n", median(plain),
              *std::max_element(plain.begin(), plain.end()), median(ours) / median(plain));
  std::printf("  hand-over to the record after the pause: %.2f ms\n", commit);
  std::printf("  peak resident %.0f MB = %.1f x the text (the benchmark's own copy of it and the plain\n"
              "  editor's document included; the relaunch and refresh scenarios measure the application alone)\n",
              peakResidentMB(), peakResidentMB() / (text.size() / 1048576.0));
  return 0;
}

// --- showing -----------------------------------------------------------------------------------

int show(std::size_t lines) {
  Sandbox sandbox;
  const std::string text = blocklist(lines);
  constexpr int kRounds = 5;
  std::vector<double> ours, plain;
  {
    Application application;
    auto& window = application.window();
    window.window()->resize(1000, 700);
    window.window()->show();
    const auto record = application.addHostfile(text, app::HostGroupKind::Local);
    const auto preview = window.listModel()->hostGroupAt(0);
    for (int i = 0; i < kRounds; ++i) {
      showAndPaint(window, preview);
      pumpToIdle();
      ours.push_back(showAndPaint(window, record));
      // Whatever the editor does after its first paint must not hold up the loop for long.
      pumpToIdle();
    }
  }
  {
    QPlainTextEdit edit;
    edit.setLineWrapMode(QPlainTextEdit::NoWrap);
    edit.resize(1000, 700);
    edit.show();
    pumpToIdle();
    PaintWatch watch(edit.viewport());
    for (int i = 0; i < kRounds; ++i) {
      edit.setPlainText(QString());
      pumpToIdle();
      watch.arm();
      const auto start = Clock::now();
      edit.setPlainText(QString::fromStdString(text));
      pumpUntil([&] { return watch.painted(); });
      plain.push_back(msSince(start));
    }
  }
  std::printf("showing %zu lines (%.1f MB) to the first paint, median of %d rounds\n", lineCount(text),
              text.size() / 1048576.0, kRounds);
  std::printf("  quillmere row switch          %8.1f ms (target 300 ms)\n", median(ours));
  std::printf("  QPlainTextEdit::setPlainText  %8.1f ms   ratio %.3f\n", median(plain), median(ours) / median(plain));
  return 0;
}

// --- relaunch ------------------------------------------------------------------------------------

// In a child: the store holds a remote hostfile of `megabytes`; writes its text to `copy`.
int seedStore(double megabytes, const std::string& copy) {
  Sandbox sandbox(std::getenv("QM_BENCH_SANDBOX"));
  const std::string text = blocklistOfMB(megabytes);
  std::ofstream(copy, std::ios::binary) << text;
  Application application;
  application.addHostfile(text, app::HostGroupKind::Remote, "http://127.0.0.1:9/hosts");
  return 0;
}

// In a child started at `startedAt` (ms of the steady clock): launches on the seeded store and
// prints the times to the first window and to a row switch, and the peak memory.
int relaunchChild(double startedAt) {
  Sandbox sandbox(std::getenv("QM_BENCH_SANDBOX"));
  const auto sinceStart = [&] {
    return std::chrono::duration<double, std::milli>(Clock::now().time_since_epoch()).count() - startedAt;
  };
  qtApplication();
  Application application;
  auto& window = application.window();
  PaintWatch watch(window.window());
  pumpUntil([&] { return watch.painted(); });
  const double firstWindow = sinceStart();
  pumpToIdle();
  coredata::ManagedObjectPtr big;
  for (const auto& record : window.listModel()->arrangedObjects()) {
    if (app::HostGroupFields::title(*record) == "Benchmark") big = record;
  }
  const double toBig = showAndPaint(window, big);
  pumpToIdle();
  const double toPreview = showAndPaint(window, window.listModel()->hostGroupAt(0));
  pumpToIdle();
  std::printf("%.1f %.1f %.1f %.1f\n", firstWindow, toBig, toPreview, peakResidentMB());
  std::fflush(stdout);
  return 0;
}

// Runs this executable with `arguments` and returns what it printed.
std::string runSelf(const std::vector<std::string>& arguments) {
  std::string command = "/proc/self/exe";
  char self[4096] = {};
  const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (n > 0) command = std::string(self, static_cast<std::size_t>(n));
  for (const auto& argument : arguments) command += " '" + argument + "'";
  std::FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return {};
  std::string output;
  char buffer[512];
  while (std::fgets(buffer, sizeof buffer, pipe)) output += buffer;
  ::pclose(pipe);
  return output;
}

double wallMsOf(const std::string& command) {
  const auto start = Clock::now();
  if (std::system(command.c_str()) != 0) return 0;
  return msSince(start);
}

int relaunch(double megabytes) {
  const std::string folder = Sandbox::make();
  ::setenv("QM_BENCH_SANDBOX", folder.c_str(), 1);
  const std::string copy = folder + "/hostfile.txt";
  runSelf({"--seed", std::to_string(megabytes), copy});
  struct stat info {};
  ::stat(copy.c_str(), &info);
  const double sizeMB = info.st_size / 1048576.0;
  const int kRounds = rounds();
  std::vector<double> first, toBig, toPreview, peak, cat, catPipe;
  for (int i = 0; i < kRounds; ++i) {
    const double now = std::chrono::duration<double, std::milli>(Clock::now().time_since_epoch()).count();
    const std::string output = runSelf({"--relaunch-child", std::to_string(now)});
    double a = 0, b = 0, c = 0, d = 0;
    if (std::sscanf(output.c_str(), "%lf %lf %lf %lf", &a, &b, &c, &d) != 4) {
      std::fprintf(stderr, "relaunch child printed: %s\n", output.c_str());
      return 1;
    }
    first.push_back(a);
    toBig.push_back(b);
    toPreview.push_back(c);
    peak.push_back(d);
    cat.push_back(wallMsOf("cat '" + copy + "' > /dev/null"));
    catPipe.push_back(wallMsOf("cat '" + copy + "' | cat > /dev/null"));
  }
  std::ifstream copied(copy, std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(copied)), std::istreambuf_iterator<char>());
  std::printf("relaunch with a %.1f MB hostfile (%zu lines) in the store, median of %d launches\n", sizeMB,
              lineCount(text), kRounds);
  std::printf("  cat of the same bytes > /dev/null   %8.1f ms (through a pipe: %.1f ms)\n", median(cat),
              median(catPipe));
  std::printf("  start to first window               %8.1f ms (target 2000 ms)   %.1f x cat\n", median(first),
              median(first) / median(cat));
  std::printf("  row switch to the hostfile          %8.1f ms (target 1000 ms)   %.1f x cat\n", median(toBig),
              median(toBig) / median(cat));
  std::printf("  row switch back to the preview      %8.1f ms                    %.1f x cat\n", median(toPreview),
              median(toPreview) / median(cat));
  std::printf("  peak resident %.0f MB = %.1f x the hostfile text\n", median(peak), median(peak) / sizeMB);
  std::string remove = "rm -rf '" + folder + "'";
  return std::system(remove.c_str()) == 0 ? 0 : 1;
}

// --- refresh -----------------------------------------------------------------------------------

// Serves `text` at "/hosts" on 127.0.0.1 from a child process until killed.
struct HostsServer {
  pid_t pid = -1;
  std::string url;

  explicit HostsServer(const std::string& text) {
    int channel[2];
    if (::pipe(channel) != 0) std::exit(2);
    pid = ::fork();
    if (pid == 0) {
      ::close(channel[0]);
      test::LoopbackServer server;
      server.routes().Get("/hosts", [&](const httplib::Request&, httplib::Response& response) {
        response.set_content_provider(text.size(), "text/plain",
                                      [&](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                                        sink.write(text.data() + offset, std::min<std::size_t>(length, 1 << 20));
                                        return true;
                                      });
      });
      server.start();
      const std::string address = server.url("/hosts");
      if (::write(channel[1], address.data(), address.size()) != static_cast<ssize_t>(address.size())) ::_exit(1);
      ::close(channel[1]);
      for (;;) ::pause();
    }
    ::close(channel[1]);
    char buffer[256];
    ssize_t n = 0;
    while ((n = ::read(channel[0], buffer, sizeof buffer)) > 0) url.append(buffer, static_cast<std::size_t>(n));
    ::close(channel[0]);
  }
  ~HostsServer() {
    ::kill(pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
  }
};

// In a child: one single refresh of a remote hostfile from `url` whose body is `bytes` long.
int refreshChild(const std::string& url, std::size_t bytes) {
  Sandbox sandbox;
  Application application;
  auto& window = application.window();
  const auto record = application.addHostfile("0.0.0.0 old.example\n", app::HostGroupKind::Remote, url);
  showAndPaint(window, record);
  pumpToIdle();
  // The main thread's longest time away from its loop while the refresh runs, seen by a timer
  // that wants to fire every 5 ms.
  double longestStall = 0;
  auto last = Clock::now();
  QTimer ticker;
  ticker.setInterval(5);
  QObject::connect(&ticker, &QTimer::timeout, [&] {
    longestStall = std::max(longestStall, msSince(last));
    last = Clock::now();
  });
  bool finished = false;
  int updated = 0;
  const auto start = Clock::now();
  ticker.start();
  last = Clock::now();
  application.delegate->remoteRefresher().refreshOne(record, [&](int count) {
    updated = count;
    finished = true;
  });
  pumpUntil([&] { return finished; });
  const double toContents = msSince(start);
  // Until the editor shows it and the store holds it.
  pumpUntil([&] { return !application.delegate->contextSaver()->isSavePending(); });
  const double toStored = msSince(start);
  ticker.stop();
  const std::size_t held = app::HostGroupFields::contentsProxy(*record).value_or("").size();
  std::printf("%.1f %.1f %.1f %.1f %d %zu\n", toContents, toStored, longestStall, peakResidentMB(), updated,
              held == bytes ? held : 0);
  return 0;
}

double curlMs(const std::string& url) {
  std::string command = "curl -s -o /dev/null -w '%{time_total}' '" + url + "'";
  std::FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return 0;
  double seconds = 0;
  const int read = std::fscanf(pipe, "%lf", &seconds);
  ::pclose(pipe);
  return read == 1 ? seconds * 1000 : 0;
}

int refresh(double megabytes) {
  const std::string text = blocklistOfMB(megabytes);
  HostsServer server(text);
  const int kRounds = rounds();
  std::vector<double> contents, stored, stall, peak, curl;
  for (int i = 0; i < kRounds; ++i) {
    const std::string output = runSelf({"--refresh-child", server.url, std::to_string(text.size())});
    double a = 0, b = 0, c = 0, d = 0;
    int updated = 0;
    std::size_t held = 0;
    if (std::sscanf(output.c_str(), "%lf %lf %lf %lf %d %zu", &a, &b, &c, &d, &updated, &held) != 6 || held == 0) {
      std::fprintf(stderr, "refresh child printed: %s\n", output.c_str());
      return 1;
    }
    contents.push_back(a);
    stored.push_back(b);
    stall.push_back(c);
    peak.push_back(d);
    curl.push_back(curlMs(server.url));
  }
  const double sizeMB = text.size() / 1048576.0;
  std::printf("refresh of a %.1f MB remote hostfile (%zu lines) over loopback, median of %d\n", sizeMB,
              lineCount(text), kRounds);
  std::printf("  curl -o /dev/null                 %8.1f ms\n", median(curl));
  std::printf("  request to new contents shown     %8.1f ms   %.1f x curl\n", median(contents),
              median(contents) / median(curl));
  std::printf("  request to contents stored        %8.1f ms   %.1f x curl\n", median(stored),
              median(stored) / median(curl));
  std::printf("  longest main-thread stall         %8.1f ms (target 100 ms)\n", median(stall));
  std::printf("  peak resident %.0f MB = %.1f x the hostfile text\n", median(peak), median(peak) / sizeMB);
  return 0;
}

// --- apply -------------------------------------------------------------------------------------

// The CPU time the calling thread has used, in ms.
double threadCpuMs() {
  timespec now {};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return now.tv_sec * 1e3 + now.tv_nsec / 1e6;
}

// Times the main thread's longest time away from its loop, seen by a timer that wants to fire every
// 5 ms, from `start` until `done` holds (the time up to the first tick and after the last count):
// as wall time, and as the main thread's own CPU time, which other work on the machine does not
// stretch.
struct GapWatch {
  double longest = 0;
  double longestCpu = 0;
  double total = 0;

  GapWatch(const std::function<void()>& start, const std::function<bool()>& done) {
    auto last = Clock::now();
    double lastCpu = threadCpuMs();
    const auto tick = [&] {
      longest = std::max(longest, msSince(last));
      longestCpu = std::max(longestCpu, threadCpuMs() - lastCpu);
      last = Clock::now();
      lastCpu = threadCpuMs();
    };
    QTimer ticker;
    ticker.setInterval(5);
    QObject::connect(&ticker, &QTimer::timeout, tick);
    ticker.start();
    const auto begun = Clock::now();
    last = begun;
    lastCpu = threadCpuMs();
    start();
    pumpUntil(done);
    tick();
    total = msSince(begun);
  }
};

int apply(double megabytes) {
  if (::geteuid() != 0) {
    std::fprintf(stderr, "apply: run as root, or the real runner would ask for a password\n");
    return 2;
  }
  Sandbox sandbox;
  // The command is run for real; the flush alone is left out, so no cache of this machine is touched.
  foundation::SystemPaths::setFlushCacheCommandForTesting(std::string("true"));
  const std::string text = blocklistOfMB(megabytes);
  const std::string hosts = sandbox.root + "/hosts";
  const int kRounds = rounds();
  std::vector<double> checked, unchecked, checkedCpu, uncheckedCpu, totals, cp;
  {
    Application application;
    auto& window = application.window();
    window.window()->resize(1000, 700);
    window.window()->show();
    // Shown, as the hostfile one has just edited is: the preview, compiled afresh after each
    // apply, would time its own compile.
    showAndPaint(window, application.addHostfile(text, app::HostGroupKind::Local));
    pumpToIdle();
    auto& defaults = foundation::UserDefaults::standardUserDefaults();
    for (int i = 0; i < kRounds; ++i) {
      for (const bool check : {true, false}) {
        defaults.set(check, "checkSyntax");
        std::ofstream(hosts, std::ios::trunc) << "127.0.0.1 localhost\n";
        const GapWatch watch([&] { window.applyChanges(); }, [] { return !app::AdministratorRun::isRunning(); });
        pumpToIdle();
        struct stat info {};
        if (::stat(hosts.c_str(), &info) != 0 || static_cast<std::size_t>(info.st_size) < text.size()) {
          std::fprintf(stderr, "apply: the hosts file does not hold the hostfile\n");
          return 1;
        }
        (check ? checked : unchecked).push_back(watch.longest);
        (check ? checkedCpu : uncheckedCpu).push_back(watch.longestCpu);
        if (!check) totals.push_back(watch.total);
      }
      cp.push_back(wallMsOf("cp '" + hosts + "' '" + sandbox.root + "/copy'"));
    }
  }
  std::printf("apply of a %.1f MB hostfile (%zu lines) through the real shell runner, median of %d\n",
              text.size() / 1048576.0, lineCount(text), kRounds);
  std::printf("  cp of the same bytes                       %8.1f ms\n", median(cp));
  std::printf("  action to outcome, without the check       %8.1f ms   %.1f x cp\n", median(totals),
              median(totals) / median(cp));
  std::printf("  longest main-thread gap, without the check %8.1f ms (target 100 ms), main-thread CPU %.1f ms\n",
              median(unchecked), median(uncheckedCpu));
  std::printf("  longest main-thread gap, with the check    %8.1f ms, main-thread CPU %.1f ms\n", median(checked),
              median(checkedCpu));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string what = argc > 1 ? argv[1] : "";
  const auto number = [&](double fallback) { return argc > 2 ? std::atof(argv[2]) : fallback; };
  if (what == "--seed" && argc > 3) return seedStore(std::atof(argv[2]), argv[3]);
  if (what == "--relaunch-child" && argc > 2) return relaunchChild(std::atof(argv[2]));
  if (what == "--refresh-child" && argc > 3) return refreshChild(argv[2], std::strtoull(argv[3], nullptr, 10));
  if (what == "typing") return typing(static_cast<std::size_t>(number(200000)));
  if (what == "show") return show(static_cast<std::size_t>(number(200000)));
  if (what == "relaunch") return relaunch(number(50));
  if (what == "refresh") return refresh(number(50));
  if (what == "apply") return apply(number(50));
  std::fprintf(stderr, "usage: %s typing|show [lines] | relaunch|refresh|apply [MB]\n", argv[0]);
  return 2;
}
