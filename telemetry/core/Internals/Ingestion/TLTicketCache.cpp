#include "telemetry/core/Internals/Ingestion/TLTicketCache.h"

TLTicketCache& TLTicketCache::sharedInstance() {
  static TLTicketCache* const instance = new TLTicketCache();
  return *instance;
}

std::optional<std::string> TLTicketCache::ticketFor(const std::string& key) const {
  std::lock_guard lock(mutex_);
  const auto it = tickets_.find(key);
  if (it == tickets_.end()) return std::nullopt;
  return it->second;
}

void TLTicketCache::setTicket(const std::optional<std::string>& ticket, const std::string& key) {
  std::lock_guard lock(mutex_);
  if (ticket) tickets_[key] = *ticket;
  else tickets_.erase(key);
}

void TLTicketCache::clearCache() {
  std::lock_guard lock(mutex_);
  tickets_.clear();
}
