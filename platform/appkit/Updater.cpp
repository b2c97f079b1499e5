#include "platform/appkit/Updater.h"

#include <QAction>

namespace appkit {

std::shared_ptr<Updater> Updater::sharedUpdater() { return nullptr; }

void Updater::configureMenuItem(QAction* item) {
  if (item) item->setVisible(sharedUpdater() != nullptr);
}

}  // namespace appkit
