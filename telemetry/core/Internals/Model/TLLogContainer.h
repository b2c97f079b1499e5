#pragma once
// TLLogContainer is one batch of logs as the ingestion sends it: a batch id and the logs, written
// as the JSON object {"logs": [...]}. Not safe to change from two threads at once.
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "telemetry/core/Internals/Model/TLLog.h"

class TLLogContainer {
 public:
  TLLogContainer() = default;
  // Keeps both as given.
  TLLogContainer(std::optional<std::string> batchId, std::vector<std::shared_ptr<TLLog>> logs);

  // serializeLogWithPrettyPrinting(false).
  std::optional<std::string> serializeLog() const;
  // {"logs": [...]} with each log's dictionary in list order (logs that give none, and null
  // entries, are left out), slashes never escaped. Nothing, with an ERROR line, when the JSON
  // cannot be written.
  std::optional<std::string> serializeLogWithPrettyPrinting(bool prettyPrint) const;
  // False for no logs; else whether every log is valid (stops at the first invalid one).
  bool isValid() const;

  const std::optional<std::string>& batchId() const { return batchId_; }
  void setBatchId(std::optional<std::string> batchId) { batchId_ = std::move(batchId); }
  const std::vector<std::shared_ptr<TLLog>>& logs() const { return logs_; }
  void setLogs(std::vector<std::shared_ptr<TLLog>> logs) { logs_ = std::move(logs); }

 private:
  std::optional<std::string> batchId_;
  std::vector<std::shared_ptr<TLLog>> logs_;
};
