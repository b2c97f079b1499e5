#include "telemetry/core/Internals/Util/TLOrderedDictionary.h"

TLOrderedDictionary::TLOrderedDictionary(std::size_t capacity) {
  order_.reserve(capacity);
}

void TLOrderedDictionary::setObject(foundation::Value object, const std::string& key) {
  if (!dictionary_.contains(key)) order_.push_back(key);
  dictionary_.set(key, std::move(object));
}

const foundation::Value* TLOrderedDictionary::objectForKey(const std::string& key) const {
  return dictionary_.find(key);
}

void TLOrderedDictionary::removeAllObjects() {
  order_.clear();
  dictionary_.clear();
}

bool TLOrderedDictionary::isEqualToDictionary(const TLOrderedDictionary& other) const {
  return order_ == other.order_ && dictionary_ == other.dictionary_;
}

foundation::Dictionary TLOrderedDictionary::dictionary() const {
  foundation::Dictionary ordered;
  for (const std::string& key : order_) ordered.set(key, dictionary_.get(key));
  return ordered;
}
