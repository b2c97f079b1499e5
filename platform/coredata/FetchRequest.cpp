#include "platform/coredata/FetchRequest.h"

namespace coredata {

std::shared_ptr<FetchRequest> FetchRequest::fetchRequestWithEntityName(std::string entityName) {
  return std::make_shared<FetchRequest>(std::move(entityName));
}

void FetchRequest::setEntity(std::shared_ptr<const EntityDescription> entity) {
  entityName_ = entity ? entity->name() : std::string();
  entity_ = std::move(entity);
}

std::string FetchRequest::description() const {
  std::string text = "<FetchRequest> (entity: " + entityName_ + "; predicate: (" +
                     (predicate_ ? predicate_->predicateFormat() : std::string("null")) + "); sortDescriptors: (";
  for (std::size_t i = 0; i < sortDescriptors_.size(); ++i) {
    if (i) text += ", ";
    text += sortDescriptors_[i].description();
  }
  text += "); limit: " + std::to_string(fetchLimit_) +
          "; type: " + std::to_string(static_cast<unsigned long>(resultType_)) + ")";
  return text;
}

}  // namespace coredata
