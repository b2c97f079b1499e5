#include "app/BonjourAdvertiser.h"

#include "platform/dispatch/Once.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/Host.h"

namespace app {

std::shared_ptr<BonjourAdvertiser> BonjourAdvertiser::sharedInstance() {
  static dispatch::Once once;
  static std::shared_ptr<BonjourAdvertiser> instance;
  once([] { instance = create(); });
  return instance;
}

std::shared_ptr<BonjourAdvertiser> BonjourAdvertiser::create(NameQuery query) {
  if (!query) query = [] { return std::optional<std::string>(foundation::Host::localizedName()); };
  std::shared_ptr<BonjourAdvertiser> advertiser(new BonjourAdvertiser(std::move(query)));
  advertiser->start();
  return advertiser;
}

BonjourAdvertiser::BonjourAdvertiser(NameQuery query) : query_(std::move(query)) {}

void BonjourAdvertiser::start() {
  setHostname(std::string());
  // Nothing keeps the queue: it lives as long as the one block it was given.
  auto queue = dispatch::Queue::createSerial(kFetchQueueLabel);
  queue->async([self = shared_from_this()] { self->fetchHostname(); });
}

void BonjourAdvertiser::fetchHostname(const std::function<void()>& completion) {
  setHostname(query_());
  if (completion) completion();
}

std::optional<std::string> BonjourAdvertiser::hostname() const {
  std::lock_guard lock(mutex_);
  return hostname_;
}

void BonjourAdvertiser::setHostname(std::optional<std::string> hostname) {
  std::lock_guard lock(mutex_);
  hostname_ = std::move(hostname);
}

}  // namespace app
