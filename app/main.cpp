// The application's entry point: the application object runs the event loop and tells the
// delegate of launch and termination.
#include <memory>

#include "app/AppDelegate.h"
#include "platform/appkit/Application.h"

int main(int argc, char** argv) {
  appkit::Application application(argc, argv);
  application.setDelegate(std::make_shared<app::AppDelegate>());
  return application.run();
}
