// The application's entry point. For now it opens an empty main window; the hostfile list,
// the editor and the other windows come on top of this.
#include <QAction>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>

#include <memory>

#include "platform/appkit/Application.h"
#include "platform/appkit/Updater.h"
#include "platform/appkit/WindowController.h"

namespace {

class MainWindowController : public appkit::WindowController {
 public:
  MainWindowController() : appkit::WindowController("Quillmere") {}

 protected:
  void windowDidLoad() override {
    auto* window = static_cast<QMainWindow*>(this->window());
    window->resize(900, 600);
    QMenu* menu = window->menuBar()->addMenu("Quillmere");
    QAction* updates = menu->addAction("Check for Updates…");
    appkit::Updater::configureMenuItem(updates);
    menu->addSeparator();
    QAction* quit = menu->addAction("Quit Quillmere");
    quit->setShortcut(QKeySequence::Quit);
    QObject::connect(quit, &QAction::triggered, [] { appkit::Application::shared()->terminate(); });
  }
};

class AppDelegate : public appkit::ApplicationDelegate {
 public:
  void applicationDidFinishLaunching() override { mainWindow_.showWindow(); }

 private:
  MainWindowController mainWindow_;
};

}  // namespace

int main(int argc, char** argv) {
  appkit::Application application(argc, argv);
  application.setDelegate(std::make_shared<AppDelegate>());
  return application.run();
}
