#include "platform/appkit/Workspace.h"

#include <QDesktopServices>
#include <QString>
#include <QUrl>

#include <mutex>

namespace appkit {

namespace {

std::mutex workspaceMutex;
std::shared_ptr<Workspace> workspaceInUse;

}  // namespace

std::shared_ptr<Workspace> Workspace::sharedWorkspace() {
  std::lock_guard lock(workspaceMutex);
  if (!workspaceInUse) workspaceInUse = std::make_shared<Workspace>();
  return workspaceInUse;
}

void Workspace::setSharedWorkspace(std::shared_ptr<Workspace> workspace) {
  std::lock_guard lock(workspaceMutex);
  workspaceInUse = std::move(workspace);
}

bool Workspace::openURL(const std::string& url) {
  const QUrl parsed(QString::fromStdString(url), QUrl::StrictMode);
  if (!parsed.isValid() || parsed.isRelative()) return false;
  return QDesktopServices::openUrl(parsed);
}

}  // namespace appkit
