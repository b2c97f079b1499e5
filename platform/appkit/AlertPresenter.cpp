#include "platform/appkit/AlertPresenter.h"

#include <mutex>

#include "platform/appkit/MessageBoxAlertPresenter.h"

namespace appkit {

namespace {

std::mutex presenterMutex;
std::shared_ptr<AlertPresenter> presenterInUse;

}  // namespace

std::shared_ptr<AlertPresenter> AlertPresenter::shared() {
  std::lock_guard lock(presenterMutex);
  if (!presenterInUse) presenterInUse = std::make_shared<MessageBoxAlertPresenter>();
  return presenterInUse;
}

void AlertPresenter::setShared(std::shared_ptr<AlertPresenter> presenter) {
  std::lock_guard lock(presenterMutex);
  presenterInUse = std::move(presenter);
}

}  // namespace appkit
