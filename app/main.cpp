// The application's entry point: the application object runs the event loop and tells the
// delegate of launch and termination. "--version" prints what the bundle's information says
// instead and ends, before any display is needed.
#include <cstring>
#include <iostream>
#include <memory>
#include <string>

#include "app/AppDelegate.h"
#include "platform/appkit/Application.h"
#include "platform/foundation/Bundle.h"

namespace {

std::string infoString(const foundation::Bundle& bundle, const char* key, const std::string& absent) {
  const foundation::Value value = bundle.objectForInfoDictionaryKey(key);
  return value.isString() && !value.stringValue().empty() ? value.stringValue() : absent;
}

// "Name version (identifier)"; a copy that found no information says so rather than guessing.
std::string versionLine() {
  const auto bundle = foundation::Bundle::mainBundle();
  return infoString(*bundle, foundation::kCFBundleNameKey, "quillmere") + " " +
         infoString(*bundle, foundation::kCFBundleShortVersionStringKey, "(no version information)") + " (" +
         bundle->bundleIdentifier().value_or("no identifier") + ")";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::cout << versionLine() << std::endl;
    return 0;
  }
  appkit::Application application(argc, argv);
  application.setDelegate(std::make_shared<app::AppDelegate>());
  return application.run();
}
