#pragma once
// TLTicketCache is the process-wide map from ticket key to authentication ticket: the analytics
// service stores a ticket when an authentication provider obtains a token, and the Collector
// ingestion reads the tickets its logs name. Tickets live in memory only. Thread-safe.
#include <map>
#include <mutex>
#include <optional>
#include <string>

class TLTicketCache {
 public:
  // The one instance, made on first use. Lives for the whole process.
  static TLTicketCache& sharedInstance();

  TLTicketCache() = default;
  TLTicketCache(const TLTicketCache&) = delete;
  TLTicketCache& operator=(const TLTicketCache&) = delete;

  // The ticket stored under `key`, or nothing.
  std::optional<std::string> ticketFor(const std::string& key) const;
  // Stores `ticket` under `key`; nothing removes the key.
  void setTicket(const std::optional<std::string>& ticket, const std::string& key);
  // Forgets every ticket.
  void clearCache();

 private:
  mutable std::mutex mutex_;
  std::map<std::string, std::string> tickets_;
};
